// ASCII character classes, case folding and digit values for the text readers
// on both platforms: the registry's DWORD files, the session table, the
// command line's switches. Never locale-dependent; for char and UTF-16 units.
#pragma once

namespace corvel::platform {

// Space, horizontal tab, vertical tab, form feed, carriage return: white
// space that stays inside one line.
template <typename Char>
constexpr bool IsInlineSpace(Char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

// The C locale's white space: IsInlineSpace and the line feed.
template <typename Char>
constexpr bool IsAsciiSpace(Char c)
{
    return IsInlineSpace(c) || c == '\n';
}

// A-Z as a-z; every other unit unchanged.
template <typename Char>
constexpr Char FoldAsciiCase(Char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<Char>(c - 'A' + 'a') : c;
}

// The value of a hexadecimal digit (either case); -1 for any other unit.
template <typename Char>
constexpr int HexDigitValue(Char c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<int>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<int>(c - 'A' + 10);
    }
    return -1;
}

static_assert(HexDigitValue('7') == 7 && HexDigitValue('b') == 11 && HexDigitValue('F') == 15 &&
              HexDigitValue('g') == -1 && HexDigitValue(u'C') == 12);
static_assert(IsAsciiSpace('\n') && !IsInlineSpace('\n') && IsInlineSpace('\f') && !IsAsciiSpace('x'));

}  // namespace corvel::platform
