#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "crawl/Job.h"

// The run's collections. Guids and skip.txt lines are ASCII (identifiers and addresses), so
// letter case is folded for ASCII letters only.
namespace korvalot::crawl {

// Not noexcept on purpose: the standard library then keeps each entry's hash beside it, so
// that growing a table of millions of guids does not hash every one of them again.
struct AsciiCaseInsensitiveHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const;
};

struct AsciiCaseInsensitiveEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
};

using CaseInsensitiveSet =
    std::unordered_set<std::string, AsciiCaseInsensitiveHash, AsciiCaseInsensitiveEqual>;

// Key to value, the first entry of a key winning (later duplicates are ignored); a missing key
// gives the empty text.
class FirstEntryMap {
public:
    void Add(std::string key, std::string value);
    const std::string& Lookup(std::string_view key) const;
    std::size_t size() const { return map_.size(); }

private:
    std::unordered_map<std::string, std::string, AsciiCaseInsensitiveHash,
                       AsciiCaseInsensitiveEqual>
        map_;
};

struct RunCollections {
    std::deque<Job> JobQueue;             // search queries waiting for a worker
    CaseInsensitiveSet SeenList;          // every guid met in this run
    std::deque<std::string> NewGuidList;  // new guids in discovery order; the card queue
    CaseInsensitiveSet SkipList;          // the lines of skip.txt
    FirstEntryMap RegionNameList;         // region code -> region name
    FirstEntryMap GuidRegionList;         // guid -> region code
};

// Lists the guids of one page that the run has not met before, with the region code of the
// query they were met in; returns how many were new.
std::size_t CollectNewGuids(RunCollections& c, std::vector<std::string>&& guids,
                            const std::string& regionCode);

}  // namespace korvalot::crawl
