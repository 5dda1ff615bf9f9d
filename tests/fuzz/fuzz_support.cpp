#include "fuzz_input.h"

#include "hardware_judge.h"

namespace fuzz {

void AbortOnDriverFindings()
{
    standin::SetFindingHandler([](const standin::Finding &f) {
        if (!sim::IsHardwareRule(f.rule))
            Fault("verifier finding " + f.rule + ": " + f.detail);
    });
}

void Done()
{
    standin::SetFindingHandler(nullptr);
    standin::Reset();
}

} // namespace fuzz
