// The URL record: parsing a table of URLs, setters that refuse over-long
// fields, default ports, composing with its capacity, and escaping.
#include "http/parsed_url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "http/event_socket.h"

namespace corvel::http {
namespace {

struct ParseCase {
    std::string text;
    bool ok;
    UrlScheme scheme;
    const char* schemeName;
    const char* host;
    std::uint16_t port;
    const char* user;
    const char* password;
    const char* path;
    const char* query;
};

TEST(ParsedUrl, ParsesTheTable)
{
    const ParseCase cases[] = {
        {"http://192.168.1.20/webservice.wsdl", true, kSchemeHttp, "http", "192.168.1.20", 80, "", "", "/webservice.wsdl", ""},
        {"HTTP://Host/a", true, kSchemeHttp, "HTTP", "Host", 80, "", "", "/a", ""},
        {"http://u:pw@h:8080/p/q?x=1#frag", true, kSchemeHttp, "http", "h", 8080, "u", "pw", "/p/q", "?x=1#frag"},
        {"http://u@h/p", true, kSchemeHttp, "http", "h", 80, "u", "", "/p", ""},
        {"http://host", true, kSchemeHttp, "http", "host", 80, "", "", "", ""},
        {"http://host?q", true, kSchemeHttp, "http", "host", 80, "", "", "", "?q"},
        {"https://secure/", true, kSchemeHttps, "https", "secure", 443, "", "", "/", ""},
        {"socks://proxy", true, kSchemeSocks, "socks", "proxy", 1080, "", "", "", ""},
        {"ftp://h:21x/p", true, kSchemeFtp, "ftp", "h", 21, "", "", "/p", ""},
        {"http://h:abc/p", true, kSchemeHttp, "http", "h", 0, "", "", "/p", ""},
        {"http://h:70000/p", true, kSchemeHttp, "http", "h", 70000 & 0xFFFF, "", "", "/p", ""},
        {"foo://h/p", true, kSchemeUnknown, "foo", "h", 0, "", "", "/p", ""},
        {"mailto:someone@example.org", true, kSchemeMailto, "mailto", "example.org", 0, "someone", "", "", ""},
        {"mailto://someone@example.org", false},
        {"file:///c:/dir/a?b#c", true, kSchemeFile, "file", "", 0, "", "", "/c:/dir/a?b#c", ""},
        {"file:c:/x", true, kSchemeFile, "file", "", 0, "", "", "c:/x", ""},
        {"news:/group", true, kSchemeNews, "news", "", 0, "", "", "/group", ""},
        {"no-colon-here", false},
        {"/absolute/path", false},
        {"", false},
        {"http://a@b@c/", false},
        {"http://u:p@h:x@y/", false},
        {"http://" + std::string(256, 'h') + "/", true, kSchemeHttp, "http", nullptr, 80, "", "", "/", ""},
        {"http://" + std::string(257, 'h') + "/", false},
        {"http://" + std::string(128, 'u') + "@h/", true, kSchemeHttp, "http", "h", 80, nullptr, "", "/", ""},
        {"http://" + std::string(129, 'u') + "@h/", false},
        {"http://u:" + std::string(128, 'p') + "@h/", true, kSchemeHttp, "http", "h", 80, "u", nullptr, "/", ""},
        {"http://u:" + std::string(129, 'p') + "@h/", false},
        {"http://h/" + std::string(2047, 'p'), true, kSchemeHttp, "http", "h", 80, "", "", nullptr, ""},
        {"http://h/" + std::string(2048, 'p'), false},
        {"http://h/?" + std::string(2047, 'q'), true, kSchemeHttp, "http", "h", 80, "", "", "/", nullptr},
        {"http://h/?" + std::string(2048, 'q'), false},
        {std::string(32, 's') + "://h/", true, kSchemeUnknown, nullptr, "h", 0, "", "", "/", ""},
        {std::string(33, 's') + "://h/", false},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        CParsedUrl url;
        url.AssignHost("left-over");
        ASSERT_EQ(url.Parse(c.text.c_str()), c.ok);
        if (!c.ok) {
            // A failed parse leaves the object reset.
            EXPECT_STREQ(url.HostName(), "");
            EXPECT_EQ(url.SchemeType(), kSchemeUnknown);
            EXPECT_EQ(url.PortNumber(), 0);
            EXPECT_EQ(url.HostNameLength(), 0u);
            continue;
        }
        EXPECT_EQ(url.SchemeType(), c.scheme);
        EXPECT_EQ(url.PortNumber(), c.port);
        if (c.schemeName) {
            EXPECT_STREQ(url.SchemeName(), c.schemeName);
        }
        if (c.host) {
            EXPECT_STREQ(url.HostName(), c.host);
        }
        if (c.user) {
            EXPECT_STREQ(url.UserName(), c.user);
        }
        if (c.password) {
            EXPECT_STREQ(url.Password(), c.password);
        }
        if (c.path) {
            EXPECT_STREQ(url.Path(), c.path);
        }
        if (c.query) {
            EXPECT_STREQ(url.Query(), c.query);
        }
        EXPECT_EQ(url.HostNameLength(), std::string(url.HostName()).size());
        EXPECT_EQ(url.PathLength(), std::string(url.Path()).size());
        EXPECT_EQ(url.QueryLength(), std::string(url.Query()).size());
    }
}

// Each step of a parse alone, from where the step before it would leave off.
TEST(ParsedUrl, SchemeStepChoosesWhatFollows)
{
    struct Case {
        const char* text;
        bool ok;
        UrlScheme scheme;
        int authorityAt;  // offset where the authority starts, -1: none
        int pathAt;       // offset where the path starts, -1: none
        const char* user;
    };
    const Case cases[] = {
        {"http://h/p", true, kSchemeHttp, 7, -1, ""},
        {"http:h", true, kSchemeHttp, 5, -1, ""},
        {"http:/p", true, kSchemeHttp, -1, 5, ""},
        {"file:///c:/x", true, kSchemeFile, -1, 7, ""},
        {"file:c:/x", true, kSchemeFile, -1, 5, ""},
        {"mailto:a@b", true, kSchemeMailto, 7, -1, ""},
        {"mailto://a@b", false},
        {"u@http://h", true, kSchemeHttp, 9, -1, "u"},
        {"u@v@http://h", false},
        {"/p:x", false},
        {"h?q:x", false},
        {"no-colon", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CParsedUrl url;
        const char* at = c.text;
        const char* pathStart = nullptr;
        bool userGiven = false;
        ASSERT_EQ(url.ParseScheme(&at, &userGiven, &pathStart), c.ok);
        if (!c.ok) {
            continue;
        }
        EXPECT_EQ(url.SchemeType(), c.scheme);
        EXPECT_EQ(pathStart == nullptr ? -1 : static_cast<int>(pathStart - c.text), c.pathAt);
        if (c.authorityAt >= 0) {
            EXPECT_EQ(at - c.text, c.authorityAt);
        }
        EXPECT_STREQ(url.UserName(), c.user);
        EXPECT_EQ(userGiven, c.user[0] != 0);
    }
}

TEST(ParsedUrl, AuthorityStepReadsUserHostAndPort)
{
    struct Case {
        const char* text;
        bool userGiven;
        bool ok;
        const char* user;
        const char* password;
        const char* host;
        std::uint16_t port;  // 0: the port is left as it was (80 here)
        int pathAt;
    };
    const Case cases[] = {
        {"h/p", false, true, "", "", "h", 0, 1},
        {"h", false, true, "", "", "h", 0, 1},
        {"h?q", false, true, "", "", "h", 0, 1},
        {"u:pw@h:81/p", false, true, "u", "pw", "h", 81, 9},
        {"h:81?q", false, true, "", "", "h", 81, 6},  // the port runs to the path or the end
        {":pw@h", false, false},                        // a password needs a user
        {"u@h", true, false},                            // the user came before the scheme already
        {"a@b@c", false, false},
        {"u@", false, true, "u", "", "", 0, 2},
        {"h:99999/p", false, true, "", "", "h", 99999 & 0xFFFF, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CParsedUrl url;
        url.AssignPort(80);
        const char* pathStart = nullptr;
        ASSERT_EQ(url.ParseAuthority(c.text, c.userGiven, &pathStart), c.ok);
        if (!c.ok) {
            continue;
        }
        EXPECT_STREQ(url.UserName(), c.user);
        EXPECT_STREQ(url.Password(), c.password);
        EXPECT_STREQ(url.HostName(), c.host);
        EXPECT_EQ(url.PortNumber(), c.port == 0 ? 80 : c.port);
        EXPECT_EQ(pathStart - c.text, c.pathAt);
    }
}

TEST(ParsedUrl, PathStepEndsAtTheQueryButNotForFiles)
{
    struct Case {
        const char* scheme;
        const char* text;
        const char* path;
        const char* query;
    };
    const Case cases[] = {
        {"http", "/p/q?x=1#f", "/p/q", "?x=1#f"},
        {"http", "/p#f?x", "/p", "#f?x"},
        {"http", "", "", ""},
        {"http", "?only", "", "?only"},
        {"file", "/c:/a?b#c", "/c:/a?b#c", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        CParsedUrl url;
        url.AssignScheme(c.scheme);
        ASSERT_TRUE(url.ParsePathAndQuery(c.text));
        EXPECT_STREQ(url.Path(), c.path);
        EXPECT_STREQ(url.Query(), c.query);
    }
    CParsedUrl url;
    EXPECT_FALSE(url.ParsePathAndQuery(("/" + std::string(2048, 'p')).c_str()));
    EXPECT_FALSE(url.ParsePathAndQuery(("/?" + std::string(2048, 'q')).c_str()));
}

TEST(ParsedUrl, NullTextIsAProgrammingError)
{
    CParsedUrl url;
    EXPECT_THROW(url.Parse(nullptr), TransportFailure);
}

TEST(ParsedUrl, SettersRefuseOverLimitAndKeepTheField)
{
    CParsedUrl url;
    ASSERT_TRUE(url.AssignHost("keep"));
    EXPECT_FALSE(url.AssignHost(std::string(257, 'h').c_str()));
    EXPECT_STREQ(url.HostName(), "keep");
    EXPECT_FALSE(url.AssignPassword("secret"));  // no user name yet
    EXPECT_TRUE(url.AssignPassword(""));
    ASSERT_TRUE(url.AssignUser("me"));
    EXPECT_TRUE(url.AssignPassword("secret"));
    EXPECT_FALSE(url.AssignPath(std::string(2049, 'p').c_str()));
    EXPECT_FALSE(url.AssignQuery(std::string(2049, 'q').c_str()));
    EXPECT_FALSE(url.AssignScheme(std::string(33, 's').c_str()));
    EXPECT_TRUE(url.AssignScheme("GoPher"));
    EXPECT_EQ(url.SchemeType(), kSchemeGopher);
    EXPECT_STREQ(url.SchemeName(), "GoPher");
    EXPECT_EQ(url.PortNumber(), 70);
}

TEST(ParsedUrl, DefaultPorts)
{
    const std::uint16_t expected[] = {21, 70, 80, 443, 0, 0, 0, 1080};
    for (UrlScheme scheme = 0; scheme <= kSchemeSocks; ++scheme) {
        EXPECT_EQ(DefaultPortFor(scheme), expected[scheme]);
    }
    EXPECT_EQ(DefaultPortFor(-1), 0);
    EXPECT_EQ(DefaultPortFor(8), 0);
}

std::string Composed(const CParsedUrl& url)
{
    char text[4096];
    std::uint32_t size = sizeof text;
    EXPECT_TRUE(url.Compose(text, &size));
    EXPECT_EQ(size, std::strlen(text));  // the length actually written
    return std::string(text, size);
}

TEST(ParsedUrl, Composes)
{
    CParsedUrl url;
    url.AssignScheme("http");
    url.AssignHost("h");
    url.AssignPath("a");
    EXPECT_EQ(Composed(url), "http://h/a");
    url.AssignPort(8080);
    EXPECT_EQ(Composed(url), "http://h:8080/a");

    CParsedUrl full;
    ASSERT_TRUE(full.Parse("http://u:pw@h:81/p?q#f"));
    EXPECT_EQ(Composed(full), "http://u:pw@h:81/p?q#f");
    CParsedUrl mail;
    ASSERT_TRUE(mail.Parse("mailto:me@example.org"));
    EXPECT_EQ(Composed(mail), "mailto:me@example.org");
    // The "//" is counted for every scheme: mailto asks for two bytes it does not use.
    EXPECT_EQ(mail.ComposedLength(), 23u);
    // The ":" and "//" are counted even without a scheme name.
    CParsedUrl bare;
    bare.AssignPath("/x");
    EXPECT_EQ(bare.ComposedLength(), 5u);
}

TEST(ParsedUrl, ComposeReportsTheCapacityItNeeds)
{
    CParsedUrl url;
    ASSERT_TRUE(url.Parse("http://host/path"));
    char text[8];
    std::uint32_t size = sizeof text;
    EXPECT_FALSE(url.Compose(text, &size));
    EXPECT_EQ(size, 17u);
    size = 0;
    EXPECT_FALSE(url.Compose(nullptr, &size));
    EXPECT_EQ(size, 17u);
    char exact[17];
    size = sizeof exact;
    EXPECT_TRUE(url.Compose(exact, &size));
    EXPECT_EQ(size, 16u);
    EXPECT_STREQ(exact, "http://host/path");
}

TEST(ParsedUrl, EscapesOnlyBeforeTheQuery)
{
    struct Case {
        const char* source;
        const char* escaped;
    };
    const Case cases[] = {
        {"http://h/a b", "http://h/a%20b"},
        {"http://h/<x>", "http://h/%3cx%3e"},
        {"http://h/100%", "http://h/100%"},
        {"http://h/\x01\xff", "http://h/%01%ff"},
        {"http://h/p?a b<", "http://h/p?a b<"},
        {"http://h/p#a b", "http://h/p#a b"},
        {"http://h/!'()*-._~:", "http://h/!'()*-._~:"},
    };
    for (const Case& c : cases) {
        char out[2084];
        ASSERT_TRUE(EscapeUnsafeCharacters(c.source, out, 2083)) << c.source;
        EXPECT_STREQ(out, c.escaped);
    }
    EXPECT_TRUE(IsUnsafeInUrl(' '));
    EXPECT_TRUE(IsUnsafeInUrl('%'));
    EXPECT_TRUE(IsUnsafeInUrl('\x7f'));
    EXPECT_FALSE(IsUnsafeInUrl('~'));
}

TEST(ParsedUrl, EscapingMustFitTheCapacity)
{
    char out[16];
    EXPECT_TRUE(EscapeUnsafeCharacters("abcdefghijklmn", out, 15));   // 14 + NUL
    EXPECT_FALSE(EscapeUnsafeCharacters("abcdefghijklmno", out, 15));  // 15 + NUL
    EXPECT_TRUE(EscapeUnsafeCharacters("abcdefghijk ", out, 15));      // 11 + 3 + NUL
    EXPECT_FALSE(EscapeUnsafeCharacters("abcdefghijkl ", out, 15));    // 12 + 3 + NUL
    EXPECT_THROW(EscapeUnsafeCharacters(nullptr, out, 15), TransportFailure);
    EXPECT_THROW(EscapeUnsafeCharacters(out, out, 15), TransportFailure);
}

}  // namespace
}  // namespace corvel::http
