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

/* The system's own copy of the service-pack text, the one PsGetVersion points
 * its caller at: the text's characters, then a few characters that are not a
 * terminator, then the host's terminator. A caller that prints the text as a
 * terminated string instead of by its Length shows the filler and is caught;
 * nothing reads past the buffer. */
const char16_t kNotTerminated[] = u"<no terminator>";
std::u16string systemCsdText;

void BuildSystemCsdText()
{
    systemCsdText = servicePack + kNotTerminated;
}

} // namespace

void SetVersion(ULONG major, ULONG minor, ULONG build, const std::u16string &sp, bool checked)
{
    majorVersion = major;
    minorVersion = minor;
    buildNumber = build;
    servicePack = sp;
    checkedBuild = checked;
    systemCsdText.clear();
}

void SetCheckedBuild(bool checked)
{
    checkedBuild = checked;
}

void SetServicePack(const std::u16string &sp)
{
    servicePack = sp;
    systemCsdText.clear();
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

/*
 * The version numbers go to the caller's variables. The service-pack text is
 * not copied: the caller's counted string is pointed at the system's own
 * buffer, Buffer, Length and MaximumLength all set by the system, whatever
 * the caller had put there (ReactOS does the same with the kernel's
 * CmCSDVersionString, the string the DDK page of PsGetVersion names). The
 * text is counted: MaximumLength equals Length and no terminator follows.
 *
 * KNOWN DIFFERENCE from Windows: Windows builds that string with room for a
 * terminator and usually terminates it, which the DDK does not promise; the
 * stand-in follows it with non-terminator characters, so a caller that relies
 * on a terminator prints them (stricter than Windows, hides nothing).
 */
extern "C" BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                      PUNICODE_STRING CSDVersion)
{
    detail::CheckPassiveLevel("PsGetVersion");
    versionQueries++;
    if (MajorVersion != nullptr)
        *MajorVersion = majorVersion;
    if (MinorVersion != nullptr)
        *MinorVersion = minorVersion;
    if (BuildNumber != nullptr)
        *BuildNumber = buildNumber;
    if (CSDVersion != nullptr) {
        if (systemCsdText.empty())
            BuildSystemCsdText();
        USHORT bytes = (USHORT)(servicePack.size() * sizeof(WCHAR));
        CSDVersion->Buffer = &systemCsdText[0];
        CSDVersion->Length = bytes;
        CSDVersion->MaximumLength = bytes;
    }
    return checkedBuild ? TRUE : FALSE;
}
