#include "tools/register-sim/SimData.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "tools/register-sim/SimDate.h"
#include "tools/register-sim/SimJson.h"
#include "tools/register-sim/SimRandom.h"

namespace korvalot::tools {
namespace {

constexpr std::string_view kHotRegion = "77";
constexpr std::uint8_t kHotType = 0;  // OpenAuction
// A crowded day holds more trades than one query may page through.
constexpr std::size_t kHotMinimum = 1001;

constexpr std::string_view kNumberSuffixes[] = {"ОАОФ", "ОКОФ", "ОТПП", "ЗАОФ", "ЗКОФ", "ЗТПП"};
constexpr int kTypeWeights[] = {40, 6, 38, 6, 3, 7};

std::int64_t Pow10(int k) {
    std::int64_t v = 1;
    while (k-- > 0) {
        v *= 10;
    }
    return v;
}

// Mostly ordinary prices; now and then one a kopeck or two away from the bounds at which a
// crowded day's query is cut by price (multiples of powers of ten), where a harvester that
// cuts at whole rubles finds nothing.
SimPrice MakeStartPrice(SimRng& rng, bool hot) {
    SimPrice price;
    if (!hot && rng.Chance(0.01)) {
        price.form = PriceForm::Null;
        return price;
    }
    if (rng.Chance(hot ? 0.12 : 0.03)) {
        static constexpr int kExponents[] = {4, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 8, 8, 9, 10, 11};
        static constexpr int kOffsets[] = {-100, -1, 0, 0, 1, 1, 50, 99, 99, 100, 101};
        const std::int64_t bound = rng.Between(1, 9) * Pow10(rng.Pick(kExponents));
        price.kopecks = bound * 100 + rng.Pick(kOffsets);
    } else {
        const int decade = rng.Chance(0.01) ? static_cast<int>(rng.Between(8, 9))
                                            : static_cast<int>(rng.Between(4, 7));
        std::int64_t rubles =
            Pow10(decade) + static_cast<std::int64_t>(rng.Below(9 * Pow10(decade)));
        const std::uint64_t rounding = rng.Below(4);
        if (rounding < 2) {
            price.kopecks = rubles / 1000 * 1000 * 100;
        } else if (rounding == 2) {
            price.kopecks = rubles * 100;
        } else {
            price.kopecks = rubles * 100 + static_cast<std::int64_t>(rng.Between(1, 99));
        }
    }
    if (price.kopecks % 100 == 0 && rng.Chance(0.2)) {
        price.form = PriceForm::Integer;
    } else if (rng.Chance(0.05)) {
        price.form = PriceForm::Text;
    }
    return price;
}

std::size_t MakeLotCount(SimRng& rng, bool hot) {
    const std::uint64_t p = rng.Below(100);
    if (p < 3) {
        return hot ? 1 : 0;
    }
    if (p < 58) {
        return 1;
    }
    if (p < 92) {
        return static_cast<std::size_t>(rng.Between(2, 10));
    }
    if (p < 98) {
        return static_cast<std::size_t>(rng.Between(11, 50));
    }
    return static_cast<std::size_t>(rng.Between(51, 150));
}

std::uint8_t PickType(SimRng& rng) {
    std::int64_t p = static_cast<std::int64_t>(rng.Below(100));
    for (std::uint8_t t = 0; t < 6; ++t) {
        p -= kTypeWeights[t];
        if (p < 0) {
            return t;
        }
    }
    return 0;
}

std::int32_t PickDay(SimRng& rng, std::int32_t from, std::int32_t to) {
    for (;;) {
        const auto day = static_cast<std::int32_t>(rng.Between(from, to));
        const int weekDay = WeekDay(day);
        if ((weekDay != 0 && weekDay != 6) || rng.Chance(0.15)) {
            return day;
        }
    }
}

struct HotPlan {
    std::vector<std::int32_t> days;
    std::vector<std::size_t> sizes;
    std::size_t total = 0;
};

// About three in ten trades of a large data set crowd onto a few working days of one region
// and trade type, 1000 to 3000 on each, so that a harvester must cut by date and then by price.
HotPlan PlanHotDays(const SimDataOptions& options) {
    HotPlan plan;
    if (options.trades < 2000 || options.toDay < options.fromDay) {
        return plan;
    }
    SimRng rng(Mix(options.seed, 0x686f74));
    std::vector<std::int32_t> workingDays;
    for (std::int32_t d = options.fromDay; d <= options.toDay; ++d) {
        if (WeekDay(d) != 0 && WeekDay(d) != 6) {
            workingDays.push_back(d);
        }
    }
    if (workingDays.empty()) {
        workingDays.push_back(options.fromDay);
    }
    plan.total = std::max(kHotMinimum, options.trades * 3 / 10);
    std::size_t count = std::max<std::size_t>(1, (plan.total + 1000) / 2000);
    count = std::min(count, workingDays.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t k = i + static_cast<std::size_t>(rng.Below(workingDays.size() - i));
        std::swap(workingDays[i], workingDays[k]);
        plan.days.push_back(workingDays[i]);
    }
    std::vector<std::size_t> weights;
    std::size_t weightSum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        weights.push_back(static_cast<std::size_t>(rng.Between(75, 125)));
        weightSum += weights.back();
    }
    std::size_t given = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t size =
            i + 1 == count ? plan.total - given : plan.total * weights[i] / weightSum;
        plan.sizes.push_back(size);
        given += size;
    }
    // every crowded day stays above the paging limit
    for (std::size_t i = 0; i < count; ++i) {
        while (plan.sizes[i] < kHotMinimum) {
            auto largest = std::max_element(plan.sizes.begin(), plan.sizes.end());
            --*largest;
            ++plan.sizes[i];
        }
    }
    return plan;
}

void FillTrade(SimTrade& trade, SimRng& rng, const std::vector<SimRegion>& regions) {
    trade.guid = MakeGuid(rng.Next(), rng.Next());
    trade.number =
        std::to_string(rng.Between(10000, 999999)) + "-" + std::string(kNumberSuffixes[trade.type]);
    static constexpr int kMinutes[] = {0, 0, 0, 30, 30, 15, 45};
    trade.minute = static_cast<std::int32_t>(rng.Between(9, 17) * 60 + rng.Pick(kMinutes));
    trade.publishDay = trade.day - static_cast<std::int32_t>(rng.Between(7, 40));
    trade.publishSecond = static_cast<std::int32_t>(rng.Between(8 * 3600, 20 * 3600));
    trade.publishStyle = static_cast<std::uint8_t>(rng.Below(10));
    trade.messageNumber = std::to_string(rng.Between(10000000, 29999999));
    trade.debtor = MakeDebtor(rng, regions[trade.region].code);
    trade.detailSeed = rng.Next();
}

}  // namespace

std::string SimPrice::Json() const {
    switch (form) {
        case PriceForm::Null:
            return "null";
        case PriceForm::Integer:
            return std::to_string(kopecks / 100);
        case PriceForm::Text:
            return "\"" + KopecksText(kopecks) + "\"";
        case PriceForm::Decimal:
            break;
    }
    return KopecksText(kopecks);
}

std::string KopecksText(std::int64_t kopecks) {
    char text[40];
    std::snprintf(text, sizeof text, "%s%lld.%02lld", kopecks < 0 ? "-" : "",
                  static_cast<long long>(std::abs(kopecks) / 100),
                  static_cast<long long>(std::abs(kopecks) % 100));
    return text;
}

std::string MakeGuid(std::uint64_t high, std::uint64_t low) {
    high = (high & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;
    low = (low & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
    char text[40];
    std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx",
                  static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xffff),
                  static_cast<unsigned long long>(high & 0xffff),
                  static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text;
}

std::string NormalRegionCode(std::string_view code) {
    while (code.size() > 1 && code.front() == '0') {
        code.remove_prefix(1);
    }
    return std::string(code);
}

SimData SimData::Generate(const SimDataOptions& options) {
    SimData data;
    data.seed_ = options.seed;
    data.today_ = options.today;
    int totalWeight = 0;
    for (const SimRegionInfo& info : RegionTable()) {
        SimRegion region;
        region.code = info.code;
        region.description = info.description;
        const int numeric = std::stoi(region.code);
        region.codeAsNumber = numeric >= 10 && numeric % 5 == 0;
        region.courtName = CourtNameFor(info.code, info.description);
        data.regions_.push_back(std::move(region));
        totalWeight += info.weight;
    }
    const auto hotRegion = static_cast<std::uint16_t>(
        std::find_if(data.regions_.begin(), data.regions_.end(),
                     [](const SimRegion& r) { return r.code == kHotRegion; }) -
        data.regions_.begin());

    const HotPlan hot = PlanHotDays(options);
    std::size_t hotDayIndex = 0;
    std::size_t hotDayLeft = hot.sizes.empty() ? 0 : hot.sizes[0];
    data.trades_.resize(options.trades);
    for (std::size_t i = 0; i < options.trades; ++i) {
        SimTrade& trade = data.trades_[i];
        SimRng rng(Mix(options.seed, i));
        if (i < hot.total) {
            while (hotDayLeft == 0) {
                hotDayLeft = hot.sizes[++hotDayIndex];
            }
            --hotDayLeft;
            trade.hot = true;
            trade.region = hotRegion;
            trade.type = kHotType;
            trade.day = hot.days[hotDayIndex];
        } else {
            std::int64_t p =
                static_cast<std::int64_t>(rng.Below(static_cast<std::uint64_t>(totalWeight)));
            std::uint16_t r = 0;
            for (const SimRegionInfo& info : RegionTable()) {
                p -= info.weight;
                if (p < 0) {
                    break;
                }
                ++r;
            }
            trade.region = r;
            trade.type = PickType(rng);
            trade.day = PickDay(rng, options.fromDay, options.toDay);
        }
        FillTrade(trade, rng, data.regions_);
        std::size_t lotCount = MakeLotCount(rng, trade.hot);
        // the first ordinary trades have the rare shapes, so that small sets hold them too
        const std::size_t special = i - hot.total;
        if (i >= hot.total && special < 6) {
            static constexpr std::size_t kSpecialLots[] = {0, 1, 3, 57, 3, 2};
            lotCount = kSpecialLots[special];
            trade.shape = special == 4   ? TradeShape::LongTexts
                          : special == 5 ? TradeShape::NoClassifiers
                                         : TradeShape::Ordinary;
        }
        for (std::size_t k = 0; k < lotCount; ++k) {
            trade.lots.push_back(MakeStartPrice(rng, trade.hot));
        }
        if (i >= hot.total && special == 1) {
            trade.lots[0] = SimPrice{100000050, PriceForm::Decimal};  // 1000000.50
        }
    }
    // Trades no price range finds, placed where a harvester paging the whole day reaches them
    // (its first page) and where it cannot (past the thousandth trade of a larger day).
    std::size_t dayStart = 0;
    for (const std::size_t size : hot.sizes) {
        const std::size_t n = std::min(options.unpricedPerCrowdedDay, size);
        for (std::size_t j = 0; j < n; ++j) {
            SimTrade& trade = data.trades_[dayStart + j];
            if (j % 2 == 0) {
                for (SimPrice& price : trade.lots) {
                    price.form = PriceForm::Null;
                }
            } else {
                trade.lots.clear();
            }
            trade.minute = j < (n + 1) / 2 ? 20 * 60 : 7 * 60;
        }
        dayStart += size;
    }
    data.Index();
    return data;
}

SimData SimData::FromTrades(std::vector<SimTrade> trades, std::uint64_t seed) {
    SimData data = Generate(SimDataOptions{0, seed, 0, -1});
    data.trades_ = std::move(trades);
    data.Index();
    return data;
}

void SimData::Index() {
    std::sort(trades_.begin(), trades_.end(), [](const SimTrade& a, const SimTrade& b) {
        if (a.day != b.day) {
            return a.day > b.day;
        }
        if (a.minute != b.minute) {
            return a.minute > b.minute;
        }
        return a.guid < b.guid;
    });
    byGuid_.clear();
    regionByCode_.clear();
    buckets_.assign(regions_.size() * kTradeTypeCodes.size(), {});
    for (std::uint16_t r = 0; r < regions_.size(); ++r) {
        regionByCode_.emplace(NormalRegionCode(regions_[r].code), r);
    }
    for (std::uint32_t i = 0; i < trades_.size(); ++i) {
        std::string key = trades_[i].guid;
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        byGuid_.emplace(std::move(key), i);
        buckets_[trades_[i].region * kTradeTypeCodes.size() + trades_[i].type].push_back(i);
    }
}

std::optional<std::uint16_t> SimData::RegionIndex(std::string_view code) const {
    const auto it = regionByCode_.find(NormalRegionCode(code));
    if (it == regionByCode_.end()) {
        return std::nullopt;
    }
    return it->second;
}

const SimTrade* SimData::FindTrade(std::string_view guid) const {
    std::string key(guid);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto it = byGuid_.find(key);
    return it == byGuid_.end() ? nullptr : &trades_[it->second];
}

std::vector<std::uint32_t> SimData::Select(const SimFilter& filter) const {
    std::vector<std::uint16_t> regions;
    if (filter.regionCodes) {
        for (const std::string& code : *filter.regionCodes) {
            if (auto r = RegionIndex(code)) {
                regions.push_back(*r);
            }
        }
    } else {
        for (std::uint16_t r = 0; r < regions_.size(); ++r) {
            regions.push_back(r);
        }
    }
    std::vector<std::uint8_t> types;
    for (std::uint8_t t = 0; t < kTradeTypeCodes.size(); ++t) {
        if (!filter.tradeTypes || std::find(filter.tradeTypes->begin(), filter.tradeTypes->end(),
                                            kTradeTypeCodes[t]) != filter.tradeTypes->end()) {
            types.push_back(t);
        }
    }
    std::sort(regions.begin(), regions.end());
    regions.erase(std::unique(regions.begin(), regions.end()), regions.end());

    const bool byPrice = filter.minKopecks || filter.maxKopecks;
    const std::int64_t low = filter.minKopecks.value_or(INT64_MIN);
    const std::int64_t high = filter.maxKopecks.value_or(INT64_MAX);
    std::vector<std::uint32_t> out;
    std::size_t bucketsUsed = 0;
    for (std::uint16_t r : regions) {
        for (std::uint8_t t : types) {
            const std::vector<std::uint32_t>& bucket = buckets_[r * kTradeTypeCodes.size() + t];
            // the bucket runs from the latest day to the earliest
            auto first = bucket.begin();
            auto last = bucket.end();
            if (filter.toDay) {
                first = std::partition_point(
                    first, last, [&](std::uint32_t i) { return trades_[i].day > *filter.toDay; });
            }
            if (filter.fromDay) {
                last = std::partition_point(first, last, [&](std::uint32_t i) {
                    return trades_[i].day >= *filter.fromDay;
                });
            }
            if (first == last) {
                continue;
            }
            ++bucketsUsed;
            for (auto it = first; it != last; ++it) {
                if (byPrice && std::none_of(trades_[*it].lots.begin(), trades_[*it].lots.end(),
                                            [&](const SimPrice& p) {
                                                return !p.IsNull() && p.kopecks >= low &&
                                                       p.kopecks <= high;
                                            })) {
                    continue;
                }
                out.push_back(*it);
            }
        }
    }
    if (bucketsUsed > 1) {
        std::sort(out.begin(), out.end());
    }
    return out;
}

SimTradeDetails SimData::Details(const SimTrade& trade) const {
    SimRng rng(Mix(trade.detailSeed, 0));
    SimTradeDetails details;
    const SimRegion& region = regions_[trade.region];
    details.courtName = region.courtName;
    static constexpr int kCourtNumbers[] = {40, 41, 56, 32, 65, 60, 12, 76};
    details.caseNumber = "А" + std::to_string(rng.Pick(kCourtNumbers)) + "-" +
                         std::to_string(rng.Between(1000, 299999)) + "/" +
                         std::to_string(rng.Between(2019, 2025));
    details.manager = MakePerson(rng, region.code);
    return details;
}

SimLot SimData::Lot(const SimTrade& trade, std::size_t index) const {
    SimRng rng(Mix(trade.detailSeed, index + 1));
    const SimRegion& region = regions_[trade.region];
    SimLot lot;
    lot.number = static_cast<int>(index + 1);
    lot.startPrice = trade.lots[index];
    std::size_t length = 0;
    if (trade.shape == TradeShape::LongTexts && index < 3) {
        static constexpr std::size_t kLengths[] = {32000, 32001, 45000};
        length = kLengths[index];
    } else if (rng.Chance(0.004)) {
        static constexpr std::size_t kLengths[] = {31999, 32000, 32001, 33000, 64000};
        length = rng.Pick(kLengths);
    }
    SimLotTexts texts = MakeLotTexts(rng, region.code, region.description, length);
    lot.tradeObject = std::move(texts.description);
    lot.classifiersJson = std::move(texts.classifiersJson);
    if (trade.shape == TradeShape::NoClassifiers) {
        lot.classifiersJson = index == 0 ? std::string() : std::string("[]");
    }

    const bool offer = trade.type == 2 || trade.type == 5;
    // Results are known for trades before the register's today.
    if (trade.day < today_ && !lot.startPrice.IsNull() && rng.Chance(0.5)) {
        lot.winner = rng.Chance(0.6) ? MakePerson(rng, region.code) : MakeCompany(rng, region.code);
        const std::int64_t percent = offer ? rng.Between(30, 100) : rng.Between(100, 150);
        lot.currentPrice.kopecks = lot.startPrice.kopecks / 100 * percent;
        lot.currentPrice.form = PriceForm::Decimal;
    } else {
        lot.winnerMember = !rng.Chance(0.1);
        if (rng.Chance(0.6)) {
            lot.currentPrice.form = PriceForm::Null;
        } else {
            lot.currentPrice = lot.startPrice;
        }
    }
    return lot;
}

}  // namespace korvalot::tools
