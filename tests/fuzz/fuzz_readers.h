// What the two reader targets check on whatever their reader returned: a
// refusal comes with a message; an accepted description either builds or is
// refused by the builder with a message.
#ifndef TOLMU_TESTS_FUZZ_READERS_H
#define TOLMU_TESTS_FUZZ_READERS_H

#include <optional>
#include <string>

#include "fuzz_input.h"
#include "machine_desc.h"

namespace fuzz {

inline void CheckReadAndBuilt(const std::optional<tolmusim::MachineDesc> &desc, const std::string &readError,
                              const char *refusedWithoutMessage)
{
    if (!desc) {
        if (readError.empty())
            Fault(refusedWithoutMessage);
        return;
    }
    standin::Reset();
    tolmusim::BuiltMachine built;
    std::string error;
    if (!tolmusim::BuildMachine(*desc, &built, &error) && error.empty())
        Fault("machine not built and no message");
    Done();
}

} // namespace fuzz

#endif
