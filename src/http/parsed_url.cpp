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

// A piece of the URL text: where it starts and how many bytes it has.
struct Span {
    const char* text;
    std::uint32_t length;
};

std::uint16_t LeadingDecimal(Span digits)
{
    std::uint32_t value = 0;
    for (std::uint32_t i = 0; i < digits.length && digits.text[i] >= '0' && digits.text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint32_t>(digits.text[i] - '0');
    }
    return static_cast<std::uint16_t>(value);  // cut to 16 bits
}

// The bytes from start up to end.
Span Between(const char* start, const char* end)
{
    return {start, static_cast<std::uint32_t>(end - start)};
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

bool CParsedUrl::AssignSpan(char* field, std::uint32_t& fieldLength, std::uint32_t limit, const char* text,
                            std::uint32_t length)
{
    if (length > limit) {
        return false;
    }
    std::memcpy(field, text, length);
    field[length] = 0;
    fieldLength = length;
    return true;
}

// The steps of a parse, each from where the one before it ended:
//   scheme     "name:" (a "user@" before the name is taken as the user), and
//              from what follows the colon, whether an authority or the path
//              comes next
//   authority  [user[:password]@]host[:port], up to the path
//   path       up to "?" or "#" (a file URL's path runs to the end)
//   query      the rest, "?" or "#" included
// A port given replaces the scheme's default port; file, news and mailto URLs
// have none.
bool CParsedUrl::Parse(const char* urlText)
{
    if (urlText == nullptr) {
        throw TransportFailure{E_FAIL};
    }
    Reset();
    const char* at = urlText;
    bool userGiven = false;
    const char* pathStart = nullptr;
    bool parsed = ParseScheme(&at, &userGiven, &pathStart) &&
                  (pathStart != nullptr || ParseAuthority(at, userGiven, &pathStart)) &&
                  ParsePathAndQuery(pathStart);
    if (!parsed) {
        Reset();
        return false;
    }
    if (schemeType == kSchemeFile || schemeType == kSchemeNews || schemeType == kSchemeMailto) {
        portNumber = 0;
    }
    return true;
}

bool CParsedUrl::ParseScheme(const char** at, bool* userGiven, const char** pathStart)
{
    const char* start = *at;
    const char* scan = start;
    for (; *scan != ':'; ++scan) {
        if (*scan == 0 || *scan == '/' || *scan == '?') {
            return false;  // no scheme before the authority ends
        }
        if (*scan == '@') {
            if (*userGiven || !AssignSpan(userName, userNameLength, kMaxUserLength, start,
                                          static_cast<std::uint32_t>(scan - start))) {
                return false;
            }
            *userGiven = true;
            start = scan + 1;
        }
    }
    Span name = Between(start, scan);
    if (name.length > kMaxTokenLength) {
        return false;
    }
    char text[kMaxTokenLength + 1];
    std::memcpy(text, name.text, name.length);
    text[name.length] = 0;
    if (!AssignScheme(text)) {
        return false;
    }
    // What follows the colon: "//" and an authority, a path, or (for the
    // schemes that take one without "//") an authority straight away.
    const char* colon = scan;
    if (colon[1] == '/' && colon[2] == '/') {
        if (schemeType == kSchemeMailto) {
            return false;
        }
        if (schemeType == kSchemeFile) {
            *pathStart = colon + 3;
        }
        *at = colon + 3;
    } else if (colon[1] == '/' || schemeType == kSchemeFile) {
        *pathStart = colon + 1;
    } else {
        *at = colon + 1;
    }
    return true;
}

bool CParsedUrl::ParseAuthority(const char* at, bool userGiven, const char** pathStart)
{
    const char* start = at;  // of the user name or the host
    for (;; ++at) {
        const char c = *at;
        if (c == 0 || c == '/' || c == '?') {
            // The host ends here; the path (or the query) begins.
            Span host = Between(start, at);
            *pathStart = at;
            return AssignSpan(hostName, hostNameLength, kMaxHostLength, host.text, host.length);
        }
        if (c == '@') {
            if (userGiven || !AssignSpan(userName, userNameLength, kMaxUserLength, start,
                                         static_cast<std::uint32_t>(at - start))) {
                return false;
            }
            userGiven = true;
            start = at + 1;
            continue;
        }
        if (c != ':') {
            continue;
        }
        // A port after the host (up to the path or the end), or a password
        // after the user name (up to the "@").
        const char* scan = at + 1;
        while (*scan != 0 && *scan != '/' && *scan != '@') {
            ++scan;
        }
        Span after = Between(at + 1, scan);
        if (after.length > kMaxPortOrPasswordLength) {
            return false;
        }
        Span before = Between(start, at);
        if (*scan == '@') {
            if (userGiven || !AssignSpan(userName, userNameLength, kMaxUserLength, before.text, before.length) ||
                (after.length != 0 && before.length == 0) ||
                !AssignSpan(password, passwordLength, kMaxPasswordLength, after.text, after.length)) {
                return false;
            }
            userGiven = true;
            at = scan;
            start = scan + 1;
            continue;
        }
        if (!AssignSpan(hostName, hostNameLength, kMaxHostLength, before.text, before.length)) {
            return false;
        }
        portNumber = LeadingDecimal(after);
        *pathStart = scan;
        return true;
    }
}

bool CParsedUrl::ParsePathAndQuery(const char* at)
{
    const char* end = at;
    while (*end != 0 && (schemeType == kSchemeFile || (*end != '#' && *end != '?'))) {
        ++end;
    }
    Span pathText = Between(at, end);
    Span queryText = Between(end, end + std::strlen(end));
    return AssignSpan(path, pathLength, kMaxPathLength, pathText.text, pathText.length) &&
           AssignSpan(query, queryLength, kMaxQueryLength, queryText.text, queryText.length);
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
