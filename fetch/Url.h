#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalot::fetch {

/// An "http://" or "https://" address split into what a request needs. Path and query keep the
/// caller's bytes: they are sent without further encoding.
struct Url {
    std::string scheme;      // "http" or "https", lower case
    std::string host;        // as written, without the brackets of an IPv6 literal
    std::uint16_t port = 0;  // the scheme's default when the address names none
    std::string path;        // "/" when the address has none
    std::string query;       // with its "?", empty when there is none

    /// Nothing for another scheme, a missing host, a bad port, or a control character in the
    /// address (it would let the address forge request lines or headers).
    static std::optional<Url> Parse(std::string_view address);

    /// Path and query as they go on the request line.
    std::string Target() const { return path + query; }
    /// The host, plus ":" and the port only when the port is not the scheme's default.
    std::string HostHeader() const;
    bool IsIpLiteral() const;
    bool IsSecure() const { return scheme == "https"; }
};

/// The address a reference (such as a Location header) met at `base` leads to, by the
/// resolution rules of RFC 3986 section 5.2.
std::string ResolveReference(std::string_view base, std::string_view reference);

}  // namespace korvalot::fetch
