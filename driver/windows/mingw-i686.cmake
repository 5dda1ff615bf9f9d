# Cross toolchain for tolmu.sys: 32-bit x86 Windows, mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TOLMU_MINGW_PREFIX i686-w64-mingw32)
find_program(CMAKE_CXX_COMPILER ${TOLMU_MINGW_PREFIX}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TOLMU_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The compiler checks only compile: a kernel image links against nothing of
# the user-mode runtime.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# CMake's default Windows link libraries (kernel32, user32, ...) have no place
# in a kernel image.
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
