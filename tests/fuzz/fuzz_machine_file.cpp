// Fuzz target: the machine-file reader (JSON) of tolmu-sim, and the machine
// builder on whatever it accepts. Bad input must end in an error message,
// never in a crash; an accepted description either builds or is refused
// with a message.
#include <string>

#include "fuzz_input.h"
#include "fuzz_readers.h"
#include "machine_desc.h"
#include "machine_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    std::optional<tolmusim::MachineDesc> desc = tolmusim::ParseMachineJson(text, "fuzz.json", &error);
    fuzz::CheckReadAndBuilt(desc, error, "machine file refused without a message");
    return 0;
}
