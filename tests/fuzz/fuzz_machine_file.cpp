// Fuzz target: the machine-file reader (JSON) of tolmu-sim, and the machine
// builder on whatever it accepts. Bad input must end in an error message,
// never in a crash; an accepted description either builds or is refused
// with a message.
#include <string>

#include "fuzz_input.h"
#include "machine_desc.h"
#include "machine_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    std::optional<tolmusim::MachineDesc> desc = tolmusim::ParseMachineJson(text, "fuzz.json", &error);
    if (!desc) {
        if (error.empty())
            fuzz::Fault("machine file refused without a message");
        return 0;
    }
    standin::Reset();
    tolmusim::BuiltMachine built;
    error.clear();
    if (!tolmusim::BuildMachine(*desc, &built, &error) && error.empty())
        fuzz::Fault("machine not built and no message");
    fuzz::Done();
    return 0;
}
