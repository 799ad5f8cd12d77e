#include "fetch/Url.h"

#include <gtest/gtest.h>

namespace korvalot::fetch {
namespace {

struct ParseCase {
    const char* address;
    const char* scheme;
    const char* host;
    int port;
    const char* target;
    const char* hostHeader;
};

void PrintTo(const ParseCase& c, std::ostream* os) {
    *os << c.address;
}

class UrlParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(UrlParse, SplitsTheAddressAndKeepsPathAndQueryAsWritten) {
    const auto& c = GetParam();
    const auto url = Url::Parse(c.address);
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->scheme, c.scheme);
    EXPECT_EQ(url->host, c.host);
    EXPECT_EQ(url->port, c.port);
    EXPECT_EQ(url->Target(), c.target);
    EXPECT_EQ(url->HostHeader(), c.hostHeader);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, UrlParse,
    ::testing::Values(
        ParseCase{"https://register.example/backend/biddings?limit=50&offset=0&tradeType=1",
                  "https", "register.example", 443,
                  "/backend/biddings?limit=50&offset=0&tradeType=1", "register.example"},
        ParseCase{"https://register.example:443/x", "https", "register.example", 443, "/x",
                  "register.example"},
        ParseCase{"https://register.example:8443/x", "https", "register.example", 8443, "/x",
                  "register.example:8443"},
        ParseCase{"http://127.0.0.1:80/", "http", "127.0.0.1", 80, "/", "127.0.0.1"},
        ParseCase{"http://127.0.0.1:443/", "http", "127.0.0.1", 443, "/", "127.0.0.1:443"},
        ParseCase{"HTTPS://Register.Example", "https", "Register.Example", 443, "/",
                  "Register.Example"},
        ParseCase{"https://h?q=1", "https", "h", 443, "/?q=1", "h"},
        ParseCase{"https://h/a b%zz/%D0%B0?x=\xD0\x9C\xD0\xBE&y=%2F#part", "https", "h", 443,
                  "/a b%zz/%D0%B0?x=\xD0\x9C\xD0\xBE&y=%2F", "h"},
        ParseCase{"https://user:secret@h:8443/p", "https", "h", 8443, "/p", "h:8443"},
        ParseCase{"https://[::1]:8443/p", "https", "::1", 8443, "/p", "[::1]:8443"}));

TEST(UrlParseRefuses, AddressesNoRequestCanBeMadeFrom) {
    for (const char* address :
         {"", "ftp://h/", "register.example/path", "https:///x", "https://:8443/x", "https://h:0/",
          "https://h:65536/", "https://h:12a/", "https://[::1/", "https://h/a\r\nX-Forged: 1",
          "https://h/a\tb"}) {
        EXPECT_FALSE(Url::Parse(address).has_value()) << address;
    }
}

struct ResolveCase {
    const char* reference;
    const char* expected;
};

void PrintTo(const ResolveCase& c, std::ostream* os) {
    *os << '"' << c.reference << '"';
}

class ResolveReferenceTest : public ::testing::TestWithParam<ResolveCase> {};

// The examples of RFC 3986 sections 5.4.1 and 5.4.2.
TEST_P(ResolveReferenceTest, FollowsTheRfcExamples) {
    EXPECT_EQ(ResolveReference("http://a/b/c/d;p?q", GetParam().reference), GetParam().expected)
        << GetParam().reference;
}

INSTANTIATE_TEST_SUITE_P(
    Rfc3986, ResolveReferenceTest,
    ::testing::Values(
        ResolveCase{"g:h", "g:h"}, ResolveCase{"g", "http://a/b/c/g"},
        ResolveCase{"./g", "http://a/b/c/g"}, ResolveCase{"g/", "http://a/b/c/g/"},
        ResolveCase{"/g", "http://a/g"}, ResolveCase{"//g", "http://g"},
        ResolveCase{"?y", "http://a/b/c/d;p?y"}, ResolveCase{"g?y", "http://a/b/c/g?y"},
        ResolveCase{"#s", "http://a/b/c/d;p?q#s"}, ResolveCase{"g#s", "http://a/b/c/g#s"},
        ResolveCase{"g?y#s", "http://a/b/c/g?y#s"}, ResolveCase{";x", "http://a/b/c/;x"},
        ResolveCase{"g;x", "http://a/b/c/g;x"}, ResolveCase{"g;x?y#s", "http://a/b/c/g;x?y#s"},
        ResolveCase{"", "http://a/b/c/d;p?q"}, ResolveCase{".", "http://a/b/c/"},
        ResolveCase{"./", "http://a/b/c/"}, ResolveCase{"..", "http://a/b/"},
        ResolveCase{"../", "http://a/b/"}, ResolveCase{"../g", "http://a/b/g"},
        ResolveCase{"../..", "http://a/"}, ResolveCase{"../../", "http://a/"},
        ResolveCase{"../../g", "http://a/g"},
        // abnormal examples
        ResolveCase{"../../../g", "http://a/g"}, ResolveCase{"../../../../g", "http://a/g"},
        ResolveCase{"/./g", "http://a/g"}, ResolveCase{"/../g", "http://a/g"},
        ResolveCase{"g.", "http://a/b/c/g."}, ResolveCase{".g", "http://a/b/c/.g"},
        ResolveCase{"g..", "http://a/b/c/g.."}, ResolveCase{"..g", "http://a/b/c/..g"},
        ResolveCase{"./../g", "http://a/b/g"}, ResolveCase{"./g/.", "http://a/b/c/g/"},
        ResolveCase{"g/./h", "http://a/b/c/g/h"}, ResolveCase{"g/../h", "http://a/b/c/h"},
        ResolveCase{"g;x=1/./y", "http://a/b/c/g;x=1/y"},
        ResolveCase{"g;x=1/../y", "http://a/b/c/y"}, ResolveCase{"g?y/./x", "http://a/b/c/g?y/./x"},
        ResolveCase{"g#s/../x", "http://a/b/c/g#s/../x"}, ResolveCase{"http:g", "http:g"},
        // an absolute address replaces the base, port and all
        ResolveCase{"https://other:8443/x/../y?z", "https://other:8443/y?z"}));

}  // namespace
}  // namespace korvalot::fetch
