// Shared helpers for the test programs.
#ifndef TOLMU_TEST_SUPPORT_H
#define TOLMU_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin.h"
#include "tolmu_platform.h"

namespace testsupport {

// Text split into lines (each without its "\n").
std::vector<std::string> SplitLines(const std::string &text);

// The driver's trace buffer as text ("" when there is none).
std::string TraceText();
std::vector<std::string> TraceLines();

// A file's bytes ("" when it cannot be read).
std::string ReadFile(const std::string &path);

// Number of lines of text that contain needle.
size_t CountContaining(const std::vector<std::string> &lines, const std::string &needle);

// A test's own driver attaching device to the stack of target as a function
// driver does in its AddDevice: inside the stand-in's AddDevice call, with
// DO_DEVICE_INITIALIZING cleared at the end (the stand-in checks there what
// Driver Verifier checks after AddDevice). Returns what the device attached to.
PDEVICE_OBJECT AttachInAddDevice(PDEVICE_OBJECT device, PDEVICE_OBJECT target);

// A fresh stand-in and a fresh load of the driver's module state. Tests that
// read the driver's output call StartTrace(); the trace buffer is released
// at the end of the test, and the test fails if pool blocks are left behind.
class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Allocates a trace buffer of the given size through the driver.
    void StartTrace(unsigned size = 0x40000);
    // Configuration values stored in the registry and read as at load.
    static void Configure(const std::vector<std::pair<std::string, ULONG>> &values);

    bool traceStarted_ = false;
    bool checkPoolOnTearDown_ = true;
};

} // namespace testsupport

#endif
