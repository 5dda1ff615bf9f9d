// The fuzz targets' shared pieces: a reader that turns the fuzzer's bytes
// into values (zeros once the bytes run out, so every input decodes), and the
// verifier's finding handler that stops a run at the first driver fault.
#ifndef TOLMU_FUZZ_INPUT_H
#define TOLMU_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "standin.h"

namespace fuzz {

class Input {
  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    size_t Left() const { return size_ - pos_; }
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return (uint16_t)(U8() | U8() << 8); }
    uint32_t U32() { return (uint32_t)U16() | (uint32_t)U16() << 16; }
    uint64_t U64() { return (uint64_t)U32() | (uint64_t)U32() << 32; }
    bool Bit() { return (U8() & 1) != 0; }
    // A value in [0, n) for n > 0.
    uint32_t Below(uint32_t n) { return n <= 0x100 ? U8() % n : n <= 0x10000 ? U16() % n : U32() % n; }
    // One of a few values, picked by a byte.
    template <typename T, size_t N> T Pick(const T (&choices)[N]) { return choices[U8() % N]; }
    // Raw bytes (fewer when the input runs out; the rest zero).
    void Bytes(void *to, size_t n)
    {
        auto *out = static_cast<uint8_t *>(to);
        for (size_t i = 0; i < n; i++)
            out[i] = U8();
    }
    // The rest of the input as text.
    std::string Rest()
    {
        std::string s(reinterpret_cast<const char *>(data_ + pos_), size_ - pos_);
        pos_ = size_;
        return s;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// A fault of the driver under test: print it and abort, so that the fuzzer
// keeps the input (and the regression run fails).
[[noreturn]] inline void Fault(const std::string &what)
{
    std::fprintf(stderr, "FUZZ FAULT: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Every verifier finding is a driver fault; the hardware judge's rules
// (which arbitrary hardware may break by itself) are left to the caller.
void AbortOnDriverFindings();

// The end of one input: the stand-in back to a fresh machine, which also
// gives the pool's poisoned freed blocks back to the heap (held back for a
// while to catch late uses, they would look like leaks to the fuzzer).
void Done();

} // namespace fuzz

#endif
