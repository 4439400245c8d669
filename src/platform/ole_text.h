// OLECHAR texts as the SAX readers hand them out, a pointer and a length with
// no terminator: comparison, XML white space, and names known when the
// program is built. Used by the SOAP engine's readers and the Linux SAX reader.
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/compat.h"

namespace corvel::platform {

// A name with its length in code units, taken from a literal so that the
// length is never written by hand.
struct NameText {
    template <std::size_t N>
    constexpr NameText(const OLECHAR (&name)[N]) noexcept : text(name), length(static_cast<int>(N - 1))
    {
    }

    const OLECHAR* text;
    int length;
};

// The same code units in the same order; texts of length 0 are equal whatever
// their pointers.
inline bool SameText(const OLECHAR* a, int aLength, const OLECHAR* b, int bLength)
{
    return aLength == bLength && (aLength == 0 || std::memcmp(a, b, sizeof(OLECHAR) * aLength) == 0);
}

inline bool SameText(const OLECHAR* a, int aLength, NameText name)
{
    return SameText(a, aLength, name.text, name.length);
}

// XML's white space: space, tab, carriage return, line feed. Narrower than
// the C locale's (IsAsciiSpace): a vertical tab or form feed is text in XML.
constexpr bool IsXmlSpace(OLECHAR c)
{
    return c == OLECHAR{' '} || c == OLECHAR{'\t'} || c == OLECHAR{'\r'} || c == OLECHAR{'\n'};
}

}  // namespace corvel::platform
