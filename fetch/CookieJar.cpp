#include "fetch/CookieJar.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "fetch/HeaderText.h"

namespace korvalot::fetch {
namespace {

bool DomainMatches(const std::string& host, const std::string& domain, bool hostIsIp) {
    if (host == domain) {
        return true;
    }
    return !hostIsIp && host.size() > domain.size() &&
           host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
           host[host.size() - domain.size() - 1] == '.';
}

bool PathMatches(std::string_view requestPath, std::string_view cookiePath) {
    if (requestPath.substr(0, cookiePath.size()) != cookiePath) {
        return false;
    }
    return requestPath.size() == cookiePath.size() || cookiePath.back() == '/' ||
           requestPath[cookiePath.size()] == '/';
}

// The directory of the request path, RFC 6265 section 5.1.4.
std::string DefaultPath(std::string_view requestPath) {
    const auto slash = requestPath.rfind('/');
    if (requestPath.empty() || requestPath.front() != '/' || slash == 0) {
        return "/";
    }
    return std::string(requestPath.substr(0, slash));
}

}  // namespace

void CookieJar::Store(std::string_view setCookie, const Url& origin) {
    const auto pairEnd = std::min(setCookie.find(';'), setCookie.size());
    const auto pair = setCookie.substr(0, pairEnd);
    const auto equals = pair.find('=');
    if (equals == std::string_view::npos) {
        return;
    }
    Cookie cookie;
    cookie.name = std::string(TrimBlanks(pair.substr(0, equals)));
    cookie.value = std::string(TrimBlanks(pair.substr(equals + 1)));
    if (cookie.name.empty()) {
        return;
    }
    const std::string host = Lower(origin.host);
    cookie.domain = host;
    cookie.path = DefaultPath(origin.path);
    bool expired = false;

    auto rest = setCookie.substr(pairEnd);
    while (!rest.empty()) {
        rest.remove_prefix(1);  // the ";"
        const auto end = std::min(rest.find(';'), rest.size());
        const auto attribute = rest.substr(0, end);
        rest.remove_prefix(end);
        const auto eq = attribute.find('=');
        const std::string name = Lower(TrimBlanks(attribute.substr(0, eq)));
        const auto value = eq == std::string_view::npos ? std::string_view{}
                                                        : TrimBlanks(attribute.substr(eq + 1));
        if (name == "domain" && !value.empty()) {
            std::string domain = Lower(value.front() == '.' ? value.substr(1) : value);
            if (!DomainMatches(host, domain, origin.IsIpLiteral())) {
                return;
            }
            cookie.domain = std::move(domain);
            cookie.hostOnly = false;
        } else if (name == "path" && !value.empty() && value.front() == '/') {
            cookie.path = std::string(value);
        } else if (name == "secure") {
            cookie.secure = true;
        } else if (name == "max-age") {
            long long seconds = 0;
            const auto* first = value.data();
            const auto* last = value.data() + value.size();
            if (!value.empty() && value.front() == '-') {
                expired =
                    std::all_of(first + 1, last, [](unsigned char c) { return std::isdigit(c); });
            } else if (std::from_chars(first, last, seconds).ptr == last && !value.empty()) {
                expired = seconds <= 0;
            }
        }
    }

    const auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& c) {
        return c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path;
    });
    if (expired) {
        if (same != cookies_.end()) {
            cookies_.erase(same);
        }
        return;
    }
    if (same != cookies_.end()) {
        cookie.created = same->created;
        *same = std::move(cookie);
    } else {
        cookie.created = counter_++;
        cookies_.push_back(std::move(cookie));
    }
}

std::string CookieJar::HeaderFor(const Url& target) const {
    const std::string host = Lower(target.host);
    const bool hostIsIp = target.IsIpLiteral();
    std::vector<const Cookie*> matching;
    for (const auto& c : cookies_) {
        const bool domainOk =
            c.hostOnly ? host == c.domain : DomainMatches(host, c.domain, hostIsIp);
        if (domainOk && PathMatches(target.path, c.path) && (!c.secure || target.IsSecure())) {
            matching.push_back(&c);
        }
    }
    // Longer paths first, then the older cookie first.
    std::stable_sort(matching.begin(), matching.end(), [](const Cookie* a, const Cookie* b) {
        return a->path.size() != b->path.size() ? a->path.size() > b->path.size()
                                                : a->created < b->created;
    });
    std::string header;
    for (const auto* c : matching) {
        if (!header.empty()) {
            header += "; ";
        }
        header += c->name + "=" + c->value;
    }
    return header;
}

}  // namespace korvalot::fetch
