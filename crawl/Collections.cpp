#include "crawl/Collections.h"

namespace korvalot::crawl {

namespace {

constexpr unsigned char Fold(char c) noexcept {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

}  // namespace

std::size_t AsciiCaseInsensitiveHash::operator()(std::string_view text) const {
    // FNV-1a over the folded bytes.
    std::size_t hash = 14695981039346656037ull;
    for (const char c : text) {
        hash ^= Fold(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

bool AsciiCaseInsensitiveEqual::operator()(std::string_view a, std::string_view b) const noexcept {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i]))
            return false;
    }
    return true;
}

void FirstEntryMap::Add(std::string key, std::string value) {
    map_.try_emplace(std::move(key), std::move(value));
}

const std::string& FirstEntryMap::Lookup(std::string_view key) const {
    static const std::string kEmpty;
    const auto it = map_.find(key);
    return it == map_.end() ? kEmpty : it->second;
}

std::size_t CollectNewGuids(RunCollections& c, std::vector<std::string>&& guids,
                            const std::string& regionCode) {
    const std::size_t before = c.NewGuidList.size();
    for (auto& guid : guids) {
        if (!c.SeenList.insert(guid).second)
            continue;
        c.GuidRegionList.Add(guid, regionCode);
        c.NewGuidList.push_back(std::move(guid));
    }
    return c.NewGuidList.size() - before;
}

}  // namespace korvalot::crawl
