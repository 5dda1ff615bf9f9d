/*
 * hex.cpp - the number readers of hex.h.
 */
#include "hex.h"

namespace tolmusim {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHex(std::string_view s, uint64_t *value, size_t maxDigits)
{
    if (s.empty() || s.size() > maxDigits || s.size() > 16)
        return false;
    uint64_t v = 0;
    for (char c : s) {
        const int digit = HexDigit(c);
        if (digit < 0)
            return false;
        v = v << 4 | static_cast<uint64_t>(digit);
    }
    *value = v;
    return true;
}

bool ParseHexPrefixed(std::string_view s, uint64_t *value, size_t maxDigits)
{
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s.remove_prefix(2);
    return ParseHex(s, value, maxDigits);
}

bool ParseNumber(std::string_view s, uint64_t *value)
{
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        return ParseHex(s.substr(2), value);
    if (s.empty())
        return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

} // namespace tolmusim
