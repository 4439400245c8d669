// The byte encodings of SOAP text: Base64 and hex for base64Binary and
// hexBinary values, UTF-16 to UTF-8 for strings. Used by the XML Schema value
// conversion (xsd_value.h) and, through it, by the reader and the writer.
#pragma once

#include "platform/compat.h"

namespace corvel::soap {

// Base64Encode flags.
inline constexpr unsigned kBase64NoPadding = 1;
inline constexpr unsigned kBase64NoLineBreaks = 2;

// Each encoder/decoder takes the output capacity in *outLength and returns the
// produced length there; false when the output does not hold it. The
// ...Length companions give the capacity needed.
int Base64EncodeLength(int byteCount, unsigned flags);
bool Base64Encode(const unsigned char* bytes, int byteCount, char* out, int* outLength, unsigned flags);
int Base64DecodeLength(int textLength);
bool Base64Decode(const char* text, int textLength, unsigned char* out, int* outLength);
int HexEncodeLength(int byteCount);
bool HexEncode(const unsigned char* bytes, int byteCount, char* out, int* outLength);
int HexDecodeLength(int textLength);
bool HexDecode(const char* text, int textLength, unsigned char* out, int* outLength);

// Bytes of the UTF-8 form; with a null out, the bytes needed. An unpaired
// surrogate takes the 3-byte form of its own value. Never writes more than
// outLength bytes; 0 when they do not hold the whole form.
int Utf16ToUtf8(const OLECHAR* text, int length, char* out, int outLength);

}  // namespace corvel::soap
