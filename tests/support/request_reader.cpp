#include "support/request_reader.h"

#include <cctype>

namespace corvel::testing {

namespace {

bool SameLetters(std::string_view text, std::string_view lowerName)
{
    if (text.size() != lowerName.size()) {
        return false;
    }
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (std::tolower(static_cast<unsigned char>(text[index])) != lowerName[index]) {
            return false;
        }
    }
    return true;
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<std::size_t> Decimal(std::string_view text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    std::size_t value = 0;
    for (char digit : text) {
        if (digit < '0' || digit > '9') {
            return std::nullopt;
        }
        const std::size_t next = value * 10 + static_cast<std::size_t>(digit - '0');
        if (next / 10 != value || next > RequestReader::kMaxBodyBytes) {
            return std::nullopt;
        }
        value = next;
    }
    return value;
}

}  // namespace

std::optional<std::size_t> AnnouncedBodyLength(std::string_view headerBlock)
{
    std::optional<std::size_t> length;
    // The first line is the request line; header lines follow, each after a LF.
    std::size_t lineStart = headerBlock.find('\n');
    while (lineStart != std::string_view::npos && lineStart + 1 < headerBlock.size()) {
        ++lineStart;
        std::size_t lineEnd = headerBlock.find('\n', lineStart);
        std::string_view line = headerBlock.substr(lineStart, lineEnd == std::string_view::npos
                                                                  ? std::string_view::npos
                                                                  : lineEnd - lineStart);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && SameLetters(line.substr(0, colon), "content-length")) {
            const std::optional<std::size_t> value = Decimal(Trimmed(line.substr(colon + 1)));
            if (!value || (length && *length != *value)) {
                return std::nullopt;
            }
            length = value;
        }
        lineStart = lineEnd;
    }
    return length.value_or(0);
}

RequestStatus RequestReader::Next(std::string& request)
{
    const std::size_t headerEnd = pending_.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
        return pending_.size() > kMaxHeaderBytes ? RequestStatus::malformed : RequestStatus::incomplete;
    }
    if (headerEnd + 4 > kMaxHeaderBytes) {
        return RequestStatus::malformed;
    }
    const std::optional<std::size_t> bodyLength =
        AnnouncedBodyLength(std::string_view(pending_).substr(0, headerEnd + 2));
    if (!bodyLength) {
        return RequestStatus::malformed;
    }
    const std::size_t total = headerEnd + 4 + *bodyLength;
    if (pending_.size() < total) {
        return RequestStatus::incomplete;
    }
    request.assign(pending_, 0, total);
    pending_.erase(0, total);
    return RequestStatus::complete;
}

}  // namespace corvel::testing
