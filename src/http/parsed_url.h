// A URL split into fixed-size parts (scheme, host, port, user, password, path,
// query) and the conversions between that form and URL text; the escaping
// routine that the SOAP proxy runs over a URL before it parses it. The HTTP
// client keeps its current target in a CParsedUrl.
#pragma once

#include <cstdint>

namespace corvel::http {

// Index of a scheme in the scheme table; -1 for a scheme not in it.
using UrlScheme = std::int32_t;
inline constexpr UrlScheme kSchemeUnknown = -1;
inline constexpr UrlScheme kSchemeFtp = 0;
inline constexpr UrlScheme kSchemeGopher = 1;
inline constexpr UrlScheme kSchemeHttp = 2;
inline constexpr UrlScheme kSchemeHttps = 3;
inline constexpr UrlScheme kSchemeFile = 4;
inline constexpr UrlScheme kSchemeNews = 5;
inline constexpr UrlScheme kSchemeMailto = 6;
inline constexpr UrlScheme kSchemeSocks = 7;

// The table's default port for 0 to 7; 0 for any other value.
std::uint16_t DefaultPortFor(UrlScheme scheme);

class CParsedUrl {
public:
    static constexpr std::uint32_t kMaxSchemeLength = 32;
    static constexpr std::uint32_t kMaxHostLength = 256;
    static constexpr std::uint32_t kMaxUserLength = 128;
    static constexpr std::uint32_t kMaxPasswordLength = 128;
    static constexpr std::uint32_t kMaxPathLength = 2048;
    static constexpr std::uint32_t kMaxQueryLength = 2048;
    // The longest scheme name the parse looks at.
    static constexpr std::uint32_t kMaxTokenLength = 2088;
    // The text after ":" that may be a port or a password.
    static constexpr std::uint32_t kMaxPortOrPasswordLength = 128;

    CParsedUrl() { Reset(); }

    // Resets, then fills the object from the text; on failure resets again and
    // returns false. A null text raises TransportFailure{E_FAIL}.
    bool Parse(const char* urlText);
    // size: the capacity on entry; on return the length written (NUL not
    // counted), or the capacity needed (NUL counted) with false.
    bool Compose(char* buffer, std::uint32_t* size) const;
    std::uint32_t ComposedLength() const;

    // All texts empty, port 0, scheme -1.
    void Reset();

    bool AssignScheme(const char* name);
    bool AssignHost(const char* host);
    bool AssignUser(const char* user);
    bool AssignPassword(const char* password);
    bool AssignPath(const char* path);
    bool AssignQuery(const char* query);
    void AssignPort(std::uint16_t port) { portNumber = port; }

    const char* SchemeName() const { return schemeName; }
    const char* HostName() const { return hostName; }
    const char* UserName() const { return userName; }
    const char* Password() const { return password; }
    const char* Path() const { return path; }
    const char* Query() const { return query; }
    std::uint16_t PortNumber() const { return portNumber; }
    UrlScheme SchemeType() const { return schemeType; }
    std::uint32_t SchemeNameLength() const { return schemeNameLength; }
    std::uint32_t HostNameLength() const { return hostNameLength; }
    std::uint32_t UserNameLength() const { return userNameLength; }
    std::uint32_t PasswordLength() const { return passwordLength; }
    std::uint32_t PathLength() const { return pathLength; }
    std::uint32_t QueryLength() const { return queryLength; }

    // The steps of Parse, each testable alone. ParseScheme reads "name:" at
    // *at and sets either *at to the authority or *pathStart to the path
    // (a user name before the scheme's name sets *userGiven).
    // ParseAuthority reads the user, password, host and port up to the path,
    // a user name not a second time; ParsePathAndQuery reads the rest.
    bool ParseScheme(const char** at, bool* userGiven, const char** pathStart);
    bool ParseAuthority(const char* at, bool userGiven, const char** pathStart);
    bool ParsePathAndQuery(const char* at);

private:
    const char* PortText(char (&digits)[8]) const;
    bool AssignText(char* field, std::uint32_t& fieldLength, std::uint32_t limit, const char* text);
    bool AssignSpan(char* field, std::uint32_t& fieldLength, std::uint32_t limit, const char* text,
                    std::uint32_t length);

    char schemeName[kMaxSchemeLength + 1];
    char hostName[kMaxHostLength + 1];
    char userName[kMaxUserLength + 1];
    char password[kMaxPasswordLength + 1];
    char path[kMaxPathLength + 1];
    char query[kMaxQueryLength + 1];
    std::uint16_t portNumber;
    UrlScheme schemeType;
    std::uint32_t schemeNameLength;
    std::uint32_t hostNameLength;
    std::uint32_t userNameLength;
    std::uint32_t passwordLength;
    std::uint32_t pathLength;
    std::uint32_t queryLength;
};

// True for every byte that must be escaped in a URL: all but the letters,
// digits and ! ' ( ) * - . / : _ ~
bool IsUnsafeInUrl(char character);

// Copies source to destination, writing unsafe bytes before the first "?" or
// "#" as "%xx" (lowercase hex; "%" itself stays). False when the result with
// its NUL does not fit capacity. A null or identical source and destination
// raise TransportFailure{E_FAIL}.
bool EscapeUnsafeCharacters(const char* source, char* destination, std::uint32_t capacity);

}  // namespace corvel::http
