/*
 * hex.h - the numbers tolmu-sim reads: hex digits (lspci output, pci.ids,
 * machine files, locations) and the decimal-or-0x form of the command line.
 * One reader, so every input takes the same digits and refuses the same
 * junk: no sign, no blanks, no trailing characters, no silent overflow.
 */
#ifndef TOLMU_SIM_CLI_HEX_H
#define TOLMU_SIM_CLI_HEX_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolmusim {

/* The value of one hex digit (either case); -1 when c is none. */
int HexDigit(char c);

inline bool IsHexDigit(char c) { return HexDigit(c) >= 0; }

/* s is 1..maxDigits hex digits and nothing else (no "0x", no sign, no
 * blanks): its value. maxDigits is at most 16. */
bool ParseHex(std::string_view s, uint64_t *value, size_t maxDigits = 16);

/* Like ParseHex, with an optional "0x"/"0X" in front. */
bool ParseHexPrefixed(std::string_view s, uint64_t *value, size_t maxDigits = 16);

/* Decimal digits, or hex digits after "0x"/"0X" (a leading 0 is not octal);
 * false when empty, malformed or above 2^64 - 1. */
bool ParseNumber(std::string_view s, uint64_t *value);

} // namespace tolmusim

#endif /* TOLMU_SIM_CLI_HEX_H */
