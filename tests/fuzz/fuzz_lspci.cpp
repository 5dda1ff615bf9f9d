// Fuzz target: the lspci importer of tolmu-sim, and the machine builder on
// whatever it accepts. The first byte picks the PCI domain asked for (or
// none); the rest is the dump.
#include <string>

#include "fuzz_input.h"
#include "fuzz_readers.h"
#include "lspci_import.h"
#include "machine_desc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    tolmusim::ImportOptions options;
    uint8_t domain = in.U8();
    if (domain & 0x80)
        options.domain = domain & 0x7F;
    std::string text = in.Rest();
    std::string error;
    std::optional<tolmusim::MachineDesc> desc = tolmusim::ImportLspci(text, "fuzz.txt", &error, options);
    fuzz::CheckReadAndBuilt(desc, error, "dump refused without a message");
    return 0;
}
