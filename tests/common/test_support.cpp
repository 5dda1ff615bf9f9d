#include "test_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "core/config.h"
#include "core/debug.h"
#include "standin/iomgr.h"

namespace testsupport {

PDEVICE_OBJECT AttachInAddDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT target)
{
    standin::BeginAddDevice(target, standin::AddDeviceRole::Function);
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, target);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    standin::EndAddDevice();
    return lower;
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string TraceText()
{
    const char *start = TraceGetStart();
    if (start == nullptr)
        return std::string();
    return std::string(start, TraceGetUsed());
}

std::vector<std::string> TraceLines()
{
    return SplitLines(TraceText());
}

size_t CountContaining(const std::vector<std::string> &lines, const std::string &needle)
{
    return size_t(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string &l) { return l.find(needle) != std::string::npos; }));
}

void DriverTest::SetUp()
{
    standin::Reset();
    standin::ResetDriverModuleState();
}

void DriverTest::TearDown()
{
    if (traceStarted_)
        TraceStop();
    // What the test left behind in the I/O manager fails this test, not the next.
    standin::CheckIoLeftovers();
    if (checkPoolOnTearDown_)
        EXPECT_EQ(standin::PoolReport(), "") << "pool blocks left behind";
}

void DriverTest::StartTrace(unsigned size)
{
    ASSERT_NE(TraceStart(size), nullptr);
    traceStarted_ = true;
}

void DriverTest::Configure(const std::vector<std::pair<std::string, ULONG>> &values)
{
    for (const auto &v : values)
        standin::RegSetDword("tolmu\\Parameters", v.first, v.second);
    ReadConfiguration();
}

} // namespace testsupport
