// Fuzz target: the machine-file reader (JSON) of tolmu-sim, and the machine
// builder on whatever it accepts.
#include "fuzz_input.h"
#include "machine_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string error;
    std::optional<tolmusim::MachineDesc> desc =
        tolmusim::ParseMachineJson(std::string(reinterpret_cast<const char *>(data), size), "fuzz.json", &error);
    fuzz::CheckReadAndBuilt(desc, error, "fuzz.json");
    return 0;
}
