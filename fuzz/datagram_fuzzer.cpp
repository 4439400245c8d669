// The registration listener's reading of a datagram: arbitrary bytes as they
// arrive, through the same buffer with room for the terminator, to the text
// that is traced and compared with the pass phrase.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "registration/announcement.h"

namespace {

constexpr std::size_t kReceiveBytes = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > kReceiveBytes) {
        return 0;  // the receive fails for a longer datagram; nothing is read
    }
    char payload[kReceiveBytes + 1];
    std::memcpy(payload, data, size);
    payload[size] = '\0';
    auto announcement = corvel::registration::ReadAnnouncement(payload, size);

    // The text is what the trace prints: the C string at the buffer's start.
    if (announcement.text.data() != payload || announcement.text.size() != std::strlen(payload) ||
        announcement.text.size() > size) {
        std::abort();
    }
    if (announcement.accepted != (announcement.text == corvel::registration::kPassPhrase)) {
        std::abort();
    }
    if (announcement.accepted && std::memcmp(data, "qm47tv47", 8) != 0) {
        std::abort();
    }
    return 0;
}
