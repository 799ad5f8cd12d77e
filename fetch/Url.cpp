#include "fetch/Url.h"

#include <algorithm>
#include <cctype>

#include <arpa/inet.h>

#include "fetch/HeaderText.h"

namespace korvalot::fetch {
namespace {

bool HasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

std::uint16_t DefaultPort(std::string_view scheme) {
    return scheme == "https" ? 443 : 80;
}

// The five components of RFC 3986 section 3; a defined but empty component differs from an
// undefined one (an empty query "?" is kept).
struct Reference {
    std::optional<std::string> scheme;
    std::optional<std::string> authority;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

Reference Split(std::string_view text) {
    Reference r;
    // A scheme is letters, digits, "+", "-" and "." before the first ":", starting with a letter.
    const auto colon = text.find(':');
    if (colon != std::string_view::npos && colon > 0 &&
        std::isalpha(static_cast<unsigned char>(text[0]))) {
        const auto name = text.substr(0, colon);
        const bool valid = std::all_of(name.begin(), name.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '+' || c == '-' || c == '.';
        });
        if (valid && name.find_first_of("/?#") == std::string_view::npos) {
            r.scheme = std::string(name);
            text.remove_prefix(colon + 1);
        }
    }
    if (text.substr(0, 2) == "//") {
        text.remove_prefix(2);
        const auto end = std::min(text.find_first_of("/?#"), text.size());
        r.authority = std::string(text.substr(0, end));
        text.remove_prefix(end);
    }
    const auto hash = text.find('#');
    if (hash != std::string_view::npos) {
        r.fragment = std::string(text.substr(hash + 1));
        text = text.substr(0, hash);
    }
    const auto question = text.find('?');
    if (question != std::string_view::npos) {
        r.query = std::string(text.substr(question + 1));
        text = text.substr(0, question);
    }
    r.path = std::string(text);
    return r;
}

// RFC 3986 section 5.2.4.
std::string RemoveDotSegments(std::string_view input) {
    std::string output;
    while (!input.empty()) {
        if (input.substr(0, 3) == "../") {
            input.remove_prefix(3);
        } else if (input.substr(0, 2) == "./") {
            input.remove_prefix(2);
        } else if (input.substr(0, 3) == "/./") {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.substr(0, 4) == "/../" || input == "/..") {
            input = input.size() == 3 ? std::string_view("/") : input.substr(3);
            const auto slash = output.rfind('/');
            output.erase(slash == std::string::npos ? 0 : slash);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            const auto next = input.find('/', input[0] == '/' ? 1 : 0);
            const auto segment = input.substr(0, next);
            output += segment;
            input.remove_prefix(segment.size());
        }
    }
    return output;
}

// RFC 3986 section 5.2.3.
std::string Merge(const Reference& base, std::string_view path) {
    if (base.authority && base.path.empty()) {
        return "/" + std::string(path);
    }
    const auto slash = base.path.rfind('/');
    if (slash == std::string::npos) {
        return std::string(path);
    }
    return base.path.substr(0, slash + 1) + std::string(path);
}

// RFC 3986 section 5.3.
std::string Recompose(const Reference& r) {
    std::string out;
    if (r.scheme) {
        out += *r.scheme + ":";
    }
    if (r.authority) {
        out += "//" + *r.authority;
    }
    out += r.path;
    if (r.query) {
        out += "?" + *r.query;
    }
    if (r.fragment) {
        out += "#" + *r.fragment;
    }
    return out;
}

}  // namespace

std::optional<Url> Url::Parse(std::string_view address) {
    if (HasControlCharacter(address)) {
        return std::nullopt;
    }
    const auto separator = address.find("://");
    if (separator == std::string_view::npos) {
        return std::nullopt;
    }
    Url url;
    url.scheme = Lower(address.substr(0, separator));
    if (url.scheme != "http" && url.scheme != "https") {
        return std::nullopt;
    }
    address.remove_prefix(separator + 3);
    const auto authorityEnd = std::min(address.find_first_of("/?#"), address.size());
    std::string_view authority = address.substr(0, authorityEnd);
    address.remove_prefix(authorityEnd);

    const auto at = authority.rfind('@');
    if (at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        url.host = std::string(authority.substr(1, close - 1));
        const auto after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                return std::nullopt;
            }
            portText = after.substr(1);
        }
    } else {
        const auto colon = authority.rfind(':');
        url.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
        }
    }
    if (url.host.empty()) {
        return std::nullopt;
    }
    url.port = DefaultPort(url.scheme);
    if (!portText.empty()) {
        if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(),
                                                [](unsigned char c) { return std::isdigit(c); })) {
            return std::nullopt;
        }
        const int port = std::stoi(std::string(portText));
        if (port < 1 || port > 65535) {
            return std::nullopt;
        }
        url.port = static_cast<std::uint16_t>(port);
    }

    // The fragment belongs to the reader of the document and is never sent.
    address = address.substr(0, address.find('#'));
    const auto question = address.find('?');
    url.path = std::string(address.substr(0, question));
    if (question != std::string_view::npos) {
        url.query = std::string(address.substr(question));
    }
    if (url.path.empty()) {
        url.path = "/";
    }
    return url;
}

std::string Url::HostHeader() const {
    std::string out = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (port != DefaultPort(scheme)) {
        out += ":" + std::to_string(port);
    }
    return out;
}

bool Url::IsIpLiteral() const {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string ResolveReference(std::string_view base, std::string_view reference) {
    const Reference b = Split(base);
    const Reference r = Split(reference);
    Reference t;
    if (r.scheme) {
        t.scheme = r.scheme;
        t.authority = r.authority;
        t.path = RemoveDotSegments(r.path);
        t.query = r.query;
    } else {
        if (r.authority) {
            t.authority = r.authority;
            t.path = RemoveDotSegments(r.path);
            t.query = r.query;
        } else {
            if (r.path.empty()) {
                t.path = b.path;
                t.query = r.query ? r.query : b.query;
            } else {
                t.path = RemoveDotSegments(r.path.front() == '/' ? r.path : Merge(b, r.path));
                t.query = r.query;
            }
            t.authority = b.authority;
        }
        t.scheme = b.scheme;
    }
    t.fragment = r.fragment;
    return Recompose(t);
}

}  // namespace korvalot::fetch
