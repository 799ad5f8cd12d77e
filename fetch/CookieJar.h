#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fetch/Url.h"

namespace korvalot::fetch {

/// The cookies one client has received, kept for the client's life and sent back by the
/// domain and path rules of RFC 6265.
class CookieJar {
public:
    /// Takes one Set-Cookie value received in an answer for `origin`. A cookie for a domain the
    /// origin does not belong to is refused; Max-Age 0 or less removes the cookie.
    void Store(std::string_view setCookie, const Url& origin);
    /// The Cookie header value for a request to `target` ("a=1; b=2"), empty when none applies.
    std::string HeaderFor(const Url& target) const;

private:
    struct Cookie {
        std::string name;
        std::string value;
        std::string domain;
        std::string path;
        bool hostOnly = true;
        bool secure = false;
        std::uint64_t created = 0;
    };
    std::vector<Cookie> cookies_;
    std::uint64_t counter_ = 0;
};

}  // namespace korvalot::fetch
