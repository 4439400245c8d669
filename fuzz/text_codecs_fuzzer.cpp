// The Base64 and hex decoders over arbitrary text, with outputs exactly as
// large as their length companions say; and encoding the input bytes must
// decode back to them under every flag combination.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "soap/text_codecs.h"

using namespace corvel::soap;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > (1u << 20)) {
        return 0;
    }
    auto text = reinterpret_cast<const char*>(data);
    int length = static_cast<int>(size);

    std::vector<unsigned char> decoded(static_cast<std::size_t>(Base64DecodeLength(length)) + 1);
    int decodedLength = Base64DecodeLength(length);
    if (!Base64Decode(text, length, decoded.data(), &decodedLength)) {
        std::abort();  // the companion's length always suffices
    }
    int hexLength = HexDecodeLength(length);
    std::vector<unsigned char> hex(static_cast<std::size_t>(hexLength) + 1);
    HexDecode(text, length, hex.data(), &hexLength);

    for (unsigned flags = 0; flags < 4; ++flags) {
        int encodedLength = Base64EncodeLength(length, flags);
        std::vector<char> encoded(static_cast<std::size_t>(encodedLength) + 1);
        if (!Base64Encode(data, length, encoded.data(), &encodedLength, flags)) {
            std::abort();
        }
        std::vector<unsigned char> back(static_cast<std::size_t>(Base64DecodeLength(encodedLength)) + 1);
        int backLength = Base64DecodeLength(encodedLength);
        if (!Base64Decode(encoded.data(), encodedLength, back.data(), &backLength) || backLength != length ||
            std::memcmp(back.data(), data, size) != 0) {
            std::abort();
        }
    }
    int hexEncodedLength = HexEncodeLength(length);
    std::vector<char> hexText(static_cast<std::size_t>(hexEncodedLength));
    if (!HexEncode(data, length, hexText.data(), &hexEncodedLength)) {
        std::abort();
    }
    std::vector<unsigned char> hexBack(size + 1);
    int hexBackLength = static_cast<int>(size);
    if (!HexDecode(hexText.data(), hexEncodedLength, hexBack.data(), &hexBackLength) || hexBackLength != length ||
        std::memcmp(hexBack.data(), data, size) != 0) {
        std::abort();
    }
    return 0;
}
