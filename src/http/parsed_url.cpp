// URL text <-> CParsedUrl: a single left-to-right scan with fixed limits, the
// composition back into text, and the escaping of unsafe bytes.
#include "http/parsed_url.h"

#include <cstddef>
#include <cstring>

#include "http/event_socket.h"
#include "http/http_response_parser.h"  // EqualsFolded

namespace corvel::http {

namespace {

struct SchemeRow {
    template <std::size_t N>
    constexpr SchemeRow(const char (&schemeName)[N], std::uint16_t port)
        : name(schemeName), nameLength(static_cast<std::uint32_t>(N - 1)), defaultPort(port)
    {
    }

    const char* name;
    std::uint32_t nameLength;
    std::uint16_t defaultPort;
};

constexpr SchemeRow kSchemeTable[] = {
    {"ftp", 21},  {"gopher", 70}, {"http", 80},   {"https", 443},
    {"file", 0},  {"news", 0},    {"mailto", 0},  {"socks", 1080},
};
static_assert(sizeof kSchemeTable / sizeof kSchemeTable[0] == kSchemeSocks + 1);

// The text being built up by the scan: a token of bounded length.
class Token {
public:
    explicit Token(std::uint32_t limit) : limit_(limit) { text_[0] = 0; }
    bool Append(char c)
    {
        if (length_ >= limit_) {
            return false;
        }
        text_[length_++] = c;
        text_[length_] = 0;
        return true;
    }
    void Clear()
    {
        length_ = 0;
        text_[0] = 0;
    }
    const char* Text() const { return text_; }
    std::uint32_t Length() const { return length_; }

private:
    char text_[CParsedUrl::kMaxTokenLength + 1];
    std::uint32_t limit_;
    std::uint32_t length_ = 0;
};

std::uint16_t LeadingDecimal(const char* text)
{
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + static_cast<std::uint32_t>(*text - '0');
    }
    return static_cast<std::uint16_t>(value);  // cut to 16 bits
}

}  // namespace

std::uint16_t DefaultPortFor(UrlScheme scheme)
{
    if (scheme < 0 || scheme > kSchemeSocks) {
        return 0;
    }
    return kSchemeTable[scheme].defaultPort;
}

void CParsedUrl::Reset()
{
    schemeName[0] = hostName[0] = userName[0] = password[0] = path[0] = query[0] = 0;
    portNumber = 0;
    schemeType = kSchemeUnknown;
    schemeNameLength = hostNameLength = userNameLength = passwordLength = pathLength = queryLength = 0;
}

bool CParsedUrl::AssignText(char* field, std::uint32_t& fieldLength, std::uint32_t limit, const char* text)
{
    const std::size_t length = std::strlen(text);
    if (length > limit) {
        return false;
    }
    std::memcpy(field, text, length + 1);
    fieldLength = static_cast<std::uint32_t>(length);
    return true;
}

bool CParsedUrl::AssignScheme(const char* name)
{
    for (UrlScheme index = 0; index <= kSchemeSocks; ++index) {
        const SchemeRow& row = kSchemeTable[index];
        if (EqualsFolded(name, row.name)) {
            schemeType = index;
            schemeNameLength = row.nameLength;
            portNumber = row.defaultPort;
            std::memcpy(schemeName, name, row.nameLength);
            schemeName[row.nameLength] = 0;
            return true;
        }
    }
    schemeType = kSchemeUnknown;
    const std::size_t length = std::strlen(name);
    if (length > kMaxSchemeLength) {
        schemeNameLength = 0;
        schemeName[0] = 0;
        return false;
    }
    schemeNameLength = static_cast<std::uint32_t>(length);
    portNumber = 0;
    std::memcpy(schemeName, name, length + 1);
    return true;
}

bool CParsedUrl::AssignHost(const char* host)
{
    return AssignText(hostName, hostNameLength, kMaxHostLength, host);
}

bool CParsedUrl::AssignUser(const char* user)
{
    return AssignText(userName, userNameLength, kMaxUserLength, user);
}

bool CParsedUrl::AssignPassword(const char* newPassword)
{
    if (newPassword[0] != 0 && userNameLength == 0) {
        return false;
    }
    return AssignText(password, passwordLength, kMaxPasswordLength, newPassword);
}

bool CParsedUrl::AssignPath(const char* newPath)
{
    return AssignText(path, pathLength, kMaxPathLength, newPath);
}

bool CParsedUrl::AssignQuery(const char* newQuery)
{
    return AssignText(query, queryLength, kMaxQueryLength, newQuery);
}

bool CParsedUrl::Parse(const char* urlText)
{
    if (urlText == nullptr) {
        throw TransportFailure{E_FAIL};
    }
    Reset();
    if (urlText[0] == 0) {
        return false;
    }

    enum class Stage { authority, path, query, done, failed };
    Token token(kMaxTokenLength);
    bool schemeSeen = false;
    bool userSeen = false;
    bool portSeen = false;
    bool hostSet = false;
    const char* at = urlText;
    const char* pathStart = nullptr;

    // Ends the authority at a "/", "?" or the end of the text.
    auto endAuthority = [&]() -> bool {
        if (!hostSet && !AssignHost(token.Text())) {
            return false;
        }
        return schemeSeen;
    };

    Stage stage = Stage::authority;
    while (stage == Stage::authority) {
        const char c = *at;
        if (c == 0) {
            // Only after an "@" or a port: the host, if any, is set already.
            stage = schemeSeen ? Stage::path : Stage::failed;
            pathStart = at;
            break;
        }
        if (c == ':' && !schemeSeen) {
            if (!AssignScheme(token.Text())) {
                stage = Stage::failed;
                break;
            }
            schemeSeen = true;
            token.Clear();
            if (at[1] == '/' && at[2] == '/') {
                if (schemeType == kSchemeMailto) {
                    stage = Stage::failed;
                    break;
                }
                if (schemeType == kSchemeFile) {
                    pathStart = at + 3;
                    stage = Stage::path;
                    break;
                }
                at += 3;
            } else if (at[1] == '/') {
                pathStart = at + 1;
                stage = Stage::path;
                break;
            } else if (schemeType == kSchemeFile) {
                pathStart = at + 1;
                stage = Stage::path;
                break;
            } else {
                at += 1;
            }
            continue;
        }
        if (c == ':') {
            // A port after the host, or a password after the user name.
            Token portOrPassword(kMaxPortOrPasswordLength);
            const char* scan = at + 1;
            while (*scan != 0 && *scan != '/' && *scan != '@') {
                if (!portOrPassword.Append(*scan)) {
                    break;
                }
                ++scan;
            }
            if (*scan != 0 && *scan != '/' && *scan != '@') {
                stage = Stage::failed;  // longer than 128 characters
                break;
            }
            if ((*scan == '/' || *scan == 0) && !portSeen) {
                if (!AssignHost(token.Text())) {
                    stage = Stage::failed;
                    break;
                }
                portNumber = LeadingDecimal(portOrPassword.Text());
                portSeen = true;
                hostSet = true;
                at = scan;
                continue;
            }
            if (*scan == '@' && !userSeen) {
                if (!AssignUser(token.Text()) || !AssignPassword(portOrPassword.Text())) {
                    stage = Stage::failed;
                    break;
                }
                userSeen = true;
                token.Clear();
                at = scan + 1;
                continue;
            }
            stage = Stage::failed;
            break;
        }
        if (c == '@') {
            if (userSeen || !AssignUser(token.Text())) {
                stage = Stage::failed;
                break;
            }
            userSeen = true;
            token.Clear();
            ++at;
            continue;
        }
        if (c == '/' || c == '?') {
            if (!endAuthority()) {
                stage = Stage::failed;
                break;
            }
            pathStart = at;
            stage = Stage::path;
            break;
        }
        if (!token.Append(c)) {
            stage = Stage::failed;
            break;
        }
        if (at[1] == 0) {
            if (!endAuthority()) {
                stage = Stage::failed;
                break;
            }
            pathStart = at + 1;
            stage = Stage::path;
            break;
        }
        ++at;
    }

    if (stage == Stage::path) {
        token.Clear();
        at = pathStart;
        while (*at != 0 && (schemeType == kSchemeFile || (*at != '#' && *at != '?'))) {
            if (!token.Append(*at)) {
                stage = Stage::failed;
                break;
            }
            ++at;
        }
        if (stage == Stage::path && token.Length() != 0 && !AssignPath(token.Text())) {
            stage = Stage::failed;
        }
        if (stage == Stage::path) {
            stage = Stage::query;
        }
    }
    if (stage == Stage::query) {
        token.Clear();
        while (*at != 0) {
            if (!token.Append(*at)) {
                stage = Stage::failed;
                break;
            }
            ++at;
        }
        if (stage == Stage::query && token.Length() != 0 && !AssignQuery(token.Text())) {
            stage = Stage::failed;
        }
        if (stage == Stage::query) {
            stage = Stage::done;
        }
    }
    if (stage != Stage::done) {
        Reset();
        return false;
    }

    if (schemeType == kSchemeFile || schemeType == kSchemeNews || schemeType == kSchemeMailto) {
        portNumber = 0;
    } else if (!portSeen) {
        portNumber = DefaultPortFor(schemeType);
    }
    return true;
}

std::uint32_t CParsedUrl::ComposedLength() const
{
    std::uint32_t length = schemeNameLength + 3;  // ":" and "//" are always counted
    if (userNameLength != 0) {
        length += userNameLength + 1;
        if (passwordLength != 0) {
            length += passwordLength + 1;
        }
    }
    if (hostNameLength != 0) {
        length += hostNameLength;
        if (portNumber != DefaultPortFor(schemeType)) {
            char digits[8];
            length += 1 + static_cast<std::uint32_t>(std::strlen(PortText(digits)));
        }
        if (pathLength != 0 && path[0] != '/' && path[0] != '\\') {
            length += 1;
        }
    }
    return length + pathLength + queryLength;
}

const char* CParsedUrl::PortText(char (&digits)[8]) const
{
    char reversed[8];
    std::uint32_t count = 0;
    std::uint32_t value = portNumber;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::uint32_t i = 0; i < count; ++i) {
        digits[i] = reversed[count - 1 - i];
    }
    digits[count] = 0;
    return digits;
}

bool CParsedUrl::Compose(char* buffer, std::uint32_t* size) const
{
    const std::uint32_t needed = ComposedLength() + 1;
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return false;
    }
    char* out = buffer;
    auto put = [&out](const char* text, std::uint32_t length) {
        std::memcpy(out, text, length);
        out += length;
    };
    auto putLiteral = [&put](const auto& literal) { put(literal, sizeof literal - 1); };
    if (schemeNameLength != 0) {
        put(schemeName, schemeNameLength);
        putLiteral(":");
        if (schemeType != kSchemeMailto) {
            putLiteral("//");
        }
    }
    if (userNameLength != 0) {
        put(userName, userNameLength);
        if (passwordLength != 0) {
            putLiteral(":");
            put(password, passwordLength);
        }
        putLiteral("@");
    }
    if (hostNameLength != 0) {
        put(hostName, hostNameLength);
        if (portNumber != DefaultPortFor(schemeType)) {
            char digits[8];
            putLiteral(":");
            PortText(digits);
            put(digits, static_cast<std::uint32_t>(std::strlen(digits)));
        }
        if (pathLength != 0 && path[0] != '/' && path[0] != '\\') {
            putLiteral("/");
        }
    }
    put(path, pathLength);
    put(query, queryLength);
    *out = 0;
    // The length written: for mailto two less than ComposedLength, which
    // counts the "//" for every scheme.
    *size = static_cast<std::uint32_t>(out - buffer);
    return true;
}

bool IsUnsafeInUrl(char character)
{
    const auto c = static_cast<unsigned char>(character);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return false;
    }
    return std::strchr("!'()*-./:_~", c) == nullptr || c == 0;
}

bool EscapeUnsafeCharacters(const char* source, char* destination, std::uint32_t capacity)
{
    if (source == nullptr || destination == nullptr || source == destination) {
        throw TransportFailure{E_FAIL};
    }
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::uint32_t written = 0;
    bool inQuery = false;
    for (const char* at = source; *at != 0; ++at) {
        const char c = *at;
        if (c == '?' || c == '#') {
            inQuery = true;
        }
        if (!inQuery && c != '%' && IsUnsafeInUrl(c)) {
            if (written + 3 >= capacity) {
                return false;
            }
            const auto byte = static_cast<unsigned char>(c);
            destination[written++] = '%';
            destination[written++] = kHexDigits[byte >> 4];
            destination[written++] = kHexDigits[byte & 0x0F];
        } else {
            if (written + 1 >= capacity) {
                return false;
            }
            destination[written++] = c;
        }
    }
    destination[written] = 0;
    return true;
}

}  // namespace corvel::http
