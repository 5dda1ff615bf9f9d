# Sourced by tools/run_tests.sh and tools/run_sim.sh: installs, on Debian 12,
# the packages the build and the tests need that are not installed yet.
# Touches apt only when something is missing.

TOLMU_PACKAGES=(
  cmake g++
  libgtest-dev libgmock-dev googletest
  g++-mingw-w64-i686 mingw-w64-i686-dev
  python3-pefile
  nlohmann-json3-dev libcli11-dev
  pci.ids
  clang libclang-rt-14-dev
)

tolmu_install_deps() {
  local missing=() p
  for p in "${TOLMU_PACKAGES[@]}"; do
    if ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "== packages: all ${#TOLMU_PACKAGES[@]} present"
    return 0
  fi
  echo "== packages: installing ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo=(sudo)
    else
      echo "error: missing packages (${missing[*]}) and not running as root" >&2
      return 1
    fi
  fi
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
