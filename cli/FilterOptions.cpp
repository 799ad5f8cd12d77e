#include "cli/FilterOptions.h"

#include <charconv>
#include <numeric>

#include "cli/SelectionOptions.h"
#include "cli/UsageError.h"
#include "crawl/SearchQueries.h"
#include "store/StoredValues.h"

namespace korvalot::cli {
namespace {

enum LongOnly {
    kAnnouncedFrom = 2000,
    kAnnouncedTo,
    kPriceFrom,
    kPriceTo,
    kCurrentPriceFrom,
    kCurrentPriceTo,
    kOpen,
    kOpenDays,
    kWords,
    kChangedSince,
    kNewSince,
};

}  // namespace

std::vector<::option> FilterLongOptions(FilterOptionSet set) {
    std::vector<::option> options = {
        {"regions", required_argument, nullptr, 'r'},
        {"types", required_argument, nullptr, 'T'},
        {"from", required_argument, nullptr, 'f'},
        {"to", required_argument, nullptr, 't'},
        {"announced-from", required_argument, nullptr, kAnnouncedFrom},
        {"announced-to", required_argument, nullptr, kAnnouncedTo},
        {"price-from", required_argument, nullptr, kPriceFrom},
        {"price-to", required_argument, nullptr, kPriceTo},
        {"current-price-from", required_argument, nullptr, kCurrentPriceFrom},
        {"current-price-to", required_argument, nullptr, kCurrentPriceTo},
        {"open", no_argument, nullptr, kOpen},
    };
    if (set.openDays)
        options.push_back({"open-days", required_argument, nullptr, kOpenDays});
    options.push_back({"words", required_argument, nullptr, kWords});
    if (set.storeDates) {
        options.push_back({"changed-since", required_argument, nullptr, kChangedSince});
        options.push_back({"new-since", required_argument, nullptr, kNewSince});
    }
    return options;
}

bool FilterOptions::Take(int code, const std::string& value) {
    switch (code) {
        case 'r':
            given_.regions = true;
            allRegions_ = ParseRegionCodes("--regions", value, regions_) || allRegions_;
            return true;
        case 'T': {
            given_.types = true;
            const std::vector<int> positions = ParseTradeTypes("--types", value);
            types_.insert(types_.end(), positions.begin(), positions.end());
            return true;
        }
        case 'f':
            given_.from = true;
            filter_.from = ParseDateOption("--from", value, today_);
            return true;
        case 't':
            given_.to = true;
            filter_.to = ParseDateOption("--to", value, today_);
            return true;
        case kAnnouncedFrom:
            given_.announcedFrom = true;
            filter_.announcedFrom = ParseDateOption("--announced-from", value, today_);
            return true;
        case kAnnouncedTo:
            given_.announcedTo = true;
            filter_.announcedTo = ParseDateOption("--announced-to", value, today_);
            return true;
        case kPriceFrom:
            given_.priceFrom = true;
            filter_.startPriceFrom = ParsePrice("--price-from", value);
            return true;
        case kPriceTo:
            given_.priceTo = true;
            filter_.startPriceTo = ParsePrice("--price-to", value);
            return true;
        case kCurrentPriceFrom:
            given_.currentFrom = true;
            filter_.currentPriceFrom = ParsePrice("--current-price-from", value);
            return true;
        case kCurrentPriceTo:
            given_.currentTo = true;
            filter_.currentPriceTo = ParsePrice("--current-price-to", value);
            return true;
        case kOpen:
            given_.open = true;
            filter_.openOnly = true;
            return true;
        case kOpenDays: {
            given_.openDays = true;
            int days = -1;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), days);
            if (ec != std::errc() || end != value.data() + value.size() || days < 0 || days > 36600)
                throw UsageError("--open-days: нужно число дней от 0 до 36600: " + value);
            filter_.openDays = days;
            return true;
        }
        case kWords: {
            given_.words = true;
            const std::vector<std::string> words = ParseWords("--words", value);
            filter_.words.insert(filter_.words.end(), words.begin(), words.end());
            return true;
        }
        case kChangedSince:
            filter_.changedSince = ParseDateOption("--changed-since", value, today_);
            return true;
        case kNewSince:
            filter_.newSince = ParseDateOption("--new-since", value, today_);
            return true;
    }
    return false;
}

void FilterOptions::Finish() {
    CheckDateOrder("--from", filter_.from, "--to", filter_.to);
    CheckDateOrder("--announced-from", filter_.announcedFrom, "--announced-to",
                   filter_.announcedTo);
    if (filter_.startPriceFrom && filter_.startPriceTo &&
        *filter_.startPriceFrom > *filter_.startPriceTo)
        throw UsageError("--price-from больше --price-to");
    if (filter_.currentPriceFrom && filter_.currentPriceTo &&
        *filter_.currentPriceFrom > *filter_.currentPriceTo)
        throw UsageError("--current-price-from больше --current-price-to");
    if (given_.openDays && !filter_.openOnly)
        throw UsageError("--open-days без --open ничего не меняет");
    if (allRegions_ && !regions_.empty())
        throw UsageError("--regions: all вместе с кодами регионов не указывают");
    std::vector<int> types = types_;
    if (!given_.types) {
        types.resize(crawl::kTradeTypeCodes.size());
        std::iota(types.begin(), types.end(), 0);
    }
    const store::TradeFilter selection = store::SelectionFilter(regions_, types, {}, {});
    filter_.regionCodes = selection.regionCodes;
    filter_.tradeTypes = selection.tradeTypes;
}

double ParsePrice(const std::string& option, const std::string& text) {
    // Either separator: "1500000,50" as a Russian desktop writes it, "1500000.50" as the
    // register does.
    const auto value = store::PriceValue(text, ",");
    if (!value || *value < 0)
        throw UsageError(option + ": нужна цена в рублях (1500000 или 1500000,50): " + text);
    return *value;
}

}  // namespace korvalot::cli
