/*
 * hal.cpp - the port routines and bus address translation of the HAL.
 *
 * A port access goes to the machine's PortHandler (the simulated chipset);
 * with none installed the bus floats, so reads return all ones and writes go
 * nowhere. Every access is logged. An access to port 0 means the driver used
 * a port address it never translated: that is a finding.
 */
#include "internal.h"

namespace standin {

namespace {

PortHandler *portHandler = nullptr;
std::vector<PortAccess> portLog;
bool translateFails = false;
int32_t translateOffset = 0;
uint64_t translateCalls = 0;

uint32_t WidthMask(int width)
{
    return width == 1 ? 0xFFu : width == 2 ? 0xFFFFu : 0xFFFFFFFFu;
}

const char *WidthName(int width)
{
    return width == 1 ? "UCHAR" : width == 2 ? "USHORT" : "ULONG";
}

/* The port number behind the pointer-typed argument; reports the addresses
 * no x86 port can have. */
uint16_t PortNumber(const void *address, bool write, int width)
{
    ULONG_PTR raw = (ULONG_PTR)address;
    if (raw == 0)
        ReportFinding("PORT_ZERO_ACCESS", detail::Format("%s_PORT_%s at port 0 (untranslated port address)",
                                                         write ? "WRITE" : "READ", WidthName(width)));
    else if (raw > 0xFFFF)
        ReportFinding("PORT_OUT_OF_RANGE", detail::Format("%s_PORT_%s at 0x%llx, beyond the 64K port space",
                                                          write ? "WRITE" : "READ", WidthName(width),
                                                          (unsigned long long)raw));
    return (uint16_t)raw;
}

uint32_t PortRead(const void *address, int width)
{
    uint16_t port = PortNumber(address, false, width);
    uint32_t value = WidthMask(width);
    if (portHandler != nullptr)
        value = portHandler->PortRead(port, width) & WidthMask(width);
    portLog.push_back(PortAccess{false, port, width, value});
    return value;
}

void PortWrite(const void *address, int width, uint32_t value)
{
    uint16_t port = PortNumber(address, true, width);
    value &= WidthMask(width);
    portLog.push_back(PortAccess{true, port, width, value});
    if (portHandler != nullptr)
        portHandler->PortWrite(port, width, value);
}

} // namespace

void SetPortHandler(PortHandler *handler)
{
    portHandler = handler;
}

PortHandler *GetPortHandler()
{
    return portHandler;
}

const std::vector<PortAccess> &PortLog()
{
    return portLog;
}

void ClearPortLog()
{
    portLog.clear();
}

void SetTranslateFails(bool fail)
{
    translateFails = fail;
}

void SetTranslateOffset(int32_t offset)
{
    translateOffset = offset;
}

uint64_t TranslateCalls()
{
    return translateCalls;
}

namespace detail {

void ResetHal()
{
    portHandler = nullptr;
    portLog.clear();
    translateFails = false;
    translateOffset = 0;
    translateCalls = 0;
}

} // namespace detail

} // namespace standin

using namespace standin;

extern "C" ULONG NTAPI READ_PORT_ULONG(PULONG Port)
{
    return PortRead(Port, 4);
}

extern "C" USHORT NTAPI READ_PORT_USHORT(PUSHORT Port)
{
    return (USHORT)PortRead(Port, 2);
}

extern "C" UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port)
{
    return (UCHAR)PortRead(Port, 1);
}

extern "C" VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value)
{
    PortWrite(Port, 4, Value);
}

extern "C" VOID NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value)
{
    PortWrite(Port, 2, Value);
}

extern "C" VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    PortWrite(Port, 1, Value);
}

/* On x86 the I/O space of every bus is the processor's, so translation keeps
 * the address and the address space (I/O stays 1). Tests can make it fail or
 * move the result by an offset to catch a driver that ignores the result. */
extern "C" BOOLEAN NTAPI HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber,
                                                PHYSICAL_ADDRESS BusAddress, PULONG AddressSpace,
                                                PPHYSICAL_ADDRESS TranslatedAddress)
{
    translateCalls++;
    if (translateFails)
        return FALSE;
    TranslatedAddress->QuadPart = BusAddress.QuadPart + translateOffset;
    return TRUE;
}
