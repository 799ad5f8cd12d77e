#include "fetch/CookieJar.h"

#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace korvalot::fetch {
namespace {

struct CookieCase {
    const char* name;
    friend void PrintTo(const CookieCase& c, std::ostream* os) { *os << c.name; }
    std::vector<std::pair<const char*, const char*>> received;  // (answer's address, Set-Cookie)
    const char* target;
    const char* expected;  // the Cookie header for a request to target
};

class CookieJarTest : public ::testing::TestWithParam<CookieCase> {};

TEST_P(CookieJarTest, SendsWhatAppliesToTheTarget) {
    const auto& c = GetParam();
    CookieJar jar;
    for (const auto& [address, setCookie] : c.received) {
        jar.Store(setCookie, *Url::Parse(address));
    }
    EXPECT_EQ(jar.HeaderFor(*Url::Parse(c.target)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, CookieJarTest,
    ::testing::Values(
        CookieCase{"HostOnlyGoesBackToItsHost",
                   {{"https://a.example/", "sid=1"}},
                   "https://a.example/x",
                   "sid=1"},
        CookieCase{"HostOnlyStaysOffSubdomains",
                   {{"https://a.example/", "sid=1"}},
                   "https://b.a.example/",
                   ""},
        CookieCase{"DomainCoversSubdomains",
                   {{"https://www.a.example/", "sid=1; Domain=.A.Example"}},
                   "https://api.a.example/",
                   "sid=1"},
        CookieCase{"DomainCoversItself",
                   {{"https://www.a.example/", "sid=1; domain=a.example"}},
                   "https://a.example/",
                   "sid=1"},
        CookieCase{"DomainIsNoSuffixMatch",
                   {{"https://www.a.example/", "sid=1; Domain=a.example"}},
                   "https://nota.example/",
                   ""},
        CookieCase{"ForeignDomainRefused",
                   {{"https://www.a.example/", "sid=1; Domain=b.example"}},
                   "https://b.example/",
                   ""},
        CookieCase{"PathCoversItsSubtree",
                   {{"https://h/", "p=1; Path=/backend"}},
                   "https://h/backend/biddings",
                   "p=1"},
        CookieCase{"PathIsNoPrefixMatch",
                   {{"https://h/", "p=1; Path=/backend"}},
                   "https://h/backendx",
                   ""},
        CookieCase{"DefaultPathIsTheDirectory",
                   {{"https://h/backend/biddings?x=1", "d=1"}},
                   "https://h/",
                   ""},
        CookieCase{"DefaultPathCoversSiblings",
                   {{"https://h/backend/biddings?x=1", "d=1"}},
                   "https://h/backend/other",
                   "d=1"},
        CookieCase{"LongerPathFirstThenOlder",
                   {{"https://h/", "a=1; Path=/"},
                    {"https://h/", "b=2; Path=/"},
                    {"https://h/", "c=3; Path=/backend"}},
                   "https://h/backend/x",
                   "c=3; a=1; b=2"},
        CookieCase{"ReplacedValueKeepsItsPlace",
                   {{"https://h/", "a=1"}, {"https://h/", "b=2"}, {"https://h/", "a=3"}},
                   "https://h/",
                   "a=3; b=2"},
        CookieCase{"MaxAgeZeroRemoves",
                   {{"https://h/", "a=1"}, {"https://h/", "a=; Max-Age=0"}},
                   "https://h/",
                   ""},
        CookieCase{"SecureOnlyOverTls", {{"https://h/", "s=1; Secure; HttpOnly"}}, "http://h/", ""},
        CookieCase{"SecureOverTls", {{"https://h/", "s=1; Secure"}}, "https://h/", "s=1"},
        CookieCase{"PortDoesNotMatter", {{"https://h:8443/", "s=1"}}, "https://h:9443/", "s=1"},
        CookieCase{"MalformedIgnored",
                   {{"https://h/", "novalue"}, {"https://h/", "=x"}},
                   "https://h/",
                   ""},
        CookieCase{"BlanksTrimmed", {{"https://h/", " a = 1 ; Path = / "}}, "https://h/", "a=1"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace korvalot::fetch
