// Fuzz target: the lspci importer of tolmu-sim, and the machine builder on
// whatever it accepts. The first byte picks the PCI domain asked for (or
// none); the rest is the dump.
#include "fuzz_input.h"
#include "lspci_import.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    tolmusim::ImportOptions options;
    if (uint8_t domain = in.U8(); domain & 0x80)
        options.domain = domain & 0x7F;
    std::string error;
    std::optional<tolmusim::MachineDesc> desc = tolmusim::ImportLspci(in.Rest(), "fuzz.txt", &error, options);
    fuzz::CheckReadAndBuilt(desc, error, "fuzz.txt");
    return 0;
}
