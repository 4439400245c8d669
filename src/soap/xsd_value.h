// Conversion between the text of an XML Schema simple value and the in-memory
// form its XsdTypeCode fixes: the response reader reads every simple value,
// xsi:nil and mustUnderstand through it, the request writer writes every simple
// value through it. The binary encodings are in text_codecs.h.
#pragma once

#include <cstdint>

#include "platform/compat.h"
#include "soap/memory_manager.h"
#include "soap/soap_tables.h"
#include "soap/write_stream.h"

namespace corvel::soap {

// Converts text (length UTF-16 units, not NUL-terminated) into the value at
// address. E_FAIL: unreadable or out-of-range text, or not a simple type code;
// E_POINTER: no target; E_INVALIDARG: binary target already filled;
// E_OUTOFMEMORY. A failed read leaves the target as it was (a binary target
// is emptied first; a malformed binary text reads as an empty value, S_OK).
HRESULT ReadXsdValue(const OLECHAR* text, int length, void* address, std::int32_t typeCode,
                     IMemoryManager* memory);

// Writes the value's text. Strings are escaped as element content.
// E_INVALIDARG: null value or stream (or a null string); E_FAIL: not a simple
// type code, a binary encoding that cannot be made, or any stream failure
// while writing an integer; otherwise the stream's own failure.
HRESULT WriteXsdValue(const void* address, IWriteStream* stream, std::int32_t typeCode, IMemoryManager* memory);

// Exactly "1", "0", "true" or "false"; anything else is E_FAIL. *out is set to
// false first. A null out is E_POINTER.
HRESULT ReadXsdBoolean(const OLECHAR* text, int length, bool* out);

}  // namespace corvel::soap
