// The fuzz targets' shared pieces: a reader that turns the fuzzer's bytes
// into values (zeros once the bytes run out, so every input decodes), the
// verifier's finding handler that stops a run at the first driver fault, and
// the check the two reader targets share.
#ifndef TOLMU_FUZZ_INPUT_H
#define TOLMU_FUZZ_INPUT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "hardware_judge.h"
#include "machine_desc.h"
#include "standin.h"

namespace fuzz {

class Input {
  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    size_t Left() const { return size_ - pos_; }
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return uint16_t(U8() | U8() << 8); }
    uint32_t U32() { return uint32_t(U16()) | uint32_t(U16()) << 16; }
    uint64_t U64() { return uint64_t(U32()) | uint64_t(U32()) << 32; }
    bool Bit() { return (U8() & 1) != 0; }
    template <typename T, size_t N> T Pick(const T (&choices)[N]) { return choices[U8() % N]; }
    void Bytes(void *to, size_t n) // the rest zero when the input runs out
    {
        for (size_t i = 0; i < n; i++)
            static_cast<uint8_t *>(to)[i] = U8();
    }
    std::string Rest()
    {
        std::string s(reinterpret_cast<const char *>(data_ + pos_), size_ - pos_);
        pos_ = size_;
        return s;
    }

  private:
    const uint8_t *data_;
    size_t size_, pos_ = 0;
};

// A fault of the code under test: print it and abort, so that the fuzzer
// keeps the input (and the regression run fails).
[[noreturn]] inline void Fault(const std::string &what)
{
    std::fprintf(stderr, "FUZZ FAULT: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Every verifier finding is a driver fault; the hardware judge's rules
// (which arbitrary hardware may break by itself) are not.
inline void AbortOnDriverFindings()
{
    standin::SetFindingHandler([](const standin::Finding &f) {
        if (!sim::IsHardwareRule(f.rule))
            Fault("verifier finding " + f.rule + ": " + f.detail);
    });
}

// The end of one input: a fresh stand-in, which also gives the pool's
// poisoned freed blocks back to the heap (they would look like leaks).
inline void Done()
{
    standin::SetFindingHandler(nullptr);
    standin::Reset();
}

// The reader targets: a refusal comes with a message naming the file; an
// accepted description either builds or is refused with a message.
inline void CheckReadAndBuilt(const std::optional<tolmusim::MachineDesc> &desc, const std::string &readError,
                              const std::string &file)
{
    if (!desc) {
        if (readError.rfind(file + ":", 0) != 0)
            Fault("refused without a message naming " + file + ": " + readError);
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
