/*
 * version.cpp - PsGetVersion and the operating system it reports. A fresh
 * machine is Windows XP (5.1, build 2600) with "Service Pack 2", free build.
 */
#include <algorithm>

#include "internal.h"

namespace standin {

namespace {

/* Also the values before the first Reset(). */
ULONG majorVersion = 5;
ULONG minorVersion = 1;
ULONG buildNumber = 2600;
std::u16string servicePack = u"Service Pack 2";
bool checkedBuild = false;
uint64_t versionQueries = 0;

} // namespace

void SetVersion(ULONG major, ULONG minor, ULONG build, const std::u16string &sp, bool checked)
{
    majorVersion = major;
    minorVersion = minor;
    buildNumber = build;
    servicePack = sp;
    checkedBuild = checked;
}

void SetCheckedBuild(bool checked)
{
    checkedBuild = checked;
}

void SetServicePack(const std::u16string &sp)
{
    servicePack = sp;
}

uint64_t VersionQueries()
{
    return versionQueries;
}

namespace detail {

void ResetVersion()
{
    SetVersion(5, 1, 2600, u"Service Pack 2", false);
    versionQueries = 0;
}

} // namespace detail

} // namespace standin

using namespace standin;

extern "C" BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                      PUNICODE_STRING CSDVersion)
{
    versionQueries++;
    if (MajorVersion != nullptr)
        *MajorVersion = majorVersion;
    if (MinorVersion != nullptr)
        *MinorVersion = minorVersion;
    if (BuildNumber != nullptr)
        *BuildNumber = buildNumber;
    if (CSDVersion != nullptr) {
        /* The caller's counted string receives the text only when its buffer
         * can hold all of it; the terminator is added when there is room for
         * it too. A smaller buffer is left as it was. */
        size_t bytes = servicePack.size() * sizeof(WCHAR);
        if (CSDVersion->Buffer != nullptr && CSDVersion->MaximumLength >= bytes) {
            memcpy(CSDVersion->Buffer, servicePack.data(), bytes);
            if (CSDVersion->MaximumLength >= bytes + sizeof(WCHAR))
                CSDVersion->Buffer[servicePack.size()] = 0;
            CSDVersion->Length = (USHORT)bytes;
        }
    }
    return checkedBuild ? TRUE : FALSE;
}
