#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tools/register-sim/SimContent.h"

// The register's contents: regions and trades made from a seed, and the queries over them.
namespace korvalot::tools {

inline constexpr std::array<std::string_view, 6> kTradeTypeCodes = {
    "OpenAuction",  "OpenConcours",  "PublicOffer",
    "CloseAuction", "CloseConcours", "ClosePublicOffer"};

// How a price is written: 1500000.00, 1500000, "1500000.00" or null.
enum class PriceForm : std::uint8_t { Decimal, Integer, Text, Null };

struct SimPrice {
    std::int64_t kopecks = 0;
    PriceForm form = PriceForm::Decimal;

    bool IsNull() const { return form == PriceForm::Null; }
    std::string Json() const;
};

struct SimRegion {
    std::string code;
    std::string description;
    bool codeAsNumber = false;  // the directory writes the code as a JSON number
    std::string courtName;
};

// Trades whose lots the generator shapes on purpose, so that even a small data set holds them.
enum class TradeShape : std::uint8_t { Ordinary, LongTexts, NoClassifiers };

struct SimTrade {
    std::string guid;  // lower case
    std::string number;
    std::uint16_t region = 0;  // index into SimData::Regions()
    std::uint8_t type = 0;     // index into kTradeTypeCodes
    TradeShape shape = TradeShape::Ordinary;
    bool hot = false;         // one of the crowded days
    std::int32_t day = 0;     // the trade's local calendar day, days since 1970-01-01
    std::int32_t minute = 0;  // its local time of day
    std::int32_t publishDay = 0;
    std::int32_t publishSecond = 0;
    std::uint8_t publishStyle = 0;
    std::string messageNumber;
    SimParty debtor;
    std::vector<SimPrice> lots;  // the start price of each lot
    std::uint64_t detailSeed = 0;
};

// What the register tells about one lot beyond its start price; made when asked.
struct SimLot {
    int number = 0;
    std::string classifiersJson;  // empty: the lot has no "classifiers" member
    std::string tradeObject;
    SimPrice startPrice;
    SimPrice currentPrice;
    std::optional<SimParty> winner;
    bool winnerMember = true;  // false: no "winner" member at all
};

struct SimTradeDetails {
    std::string courtName;
    std::string caseNumber;
    SimParty manager;
};

struct SimDataOptions {
    std::size_t trades = 20000;
    std::uint64_t seed = 1;
    std::int32_t fromDay = 20454;  // 2026-01-01
    std::int32_t toDay = 20634;    // 2026-06-30
    // On every crowded day this many of its trades have no priced lot (by turns all lots
    // priced null, or no lots): the first half the day's latest trades, the rest its earliest.
    std::size_t unpricedPerCrowdedDay = 0;
    // The register's today: trades of earlier days have held their bidding (final prices,
    // winners). A later today lets the trades between the two move on, and leaves every other
    // trade as it was, so that two runs of the simulator stand for the register on two days.
    std::int32_t today = 20629;  // 2026-06-25
};

// A selection. A member left empty does not restrict; codes and types that the register does
// not know match nothing.
struct SimFilter {
    std::optional<std::vector<std::string>> regionCodes;
    std::optional<std::vector<std::string>> tradeTypes;
    std::optional<std::int32_t> fromDay;
    std::optional<std::int32_t> toDay;
    std::optional<std::int64_t> minKopecks;  // some lot's start price at least this
    std::optional<std::int64_t> maxKopecks;  // and at most this
};

class SimData {
public:
    static SimData Generate(const SimDataOptions& options);
    // A register holding exactly these trades (guids and regions as given), for tests.
    static SimData FromTrades(std::vector<SimTrade> trades, std::uint64_t seed = 1);

    const std::vector<SimRegion>& Regions() const { return regions_; }
    // In the register's stable order: latest day first, then latest time, then guid.
    const std::vector<SimTrade>& Trades() const { return trades_; }
    std::uint64_t Seed() const { return seed_; }
    std::int32_t Today() const { return today_; }

    std::optional<std::uint16_t> RegionIndex(std::string_view code) const;
    // Letter case of the guid is ignored.
    const SimTrade* FindTrade(std::string_view guid) const;
    // Indices into Trades(), in the stable order.
    std::vector<std::uint32_t> Select(const SimFilter& filter) const;

    SimLot Lot(const SimTrade& trade, std::size_t index) const;
    SimTradeDetails Details(const SimTrade& trade) const;

private:
    void Index();

    std::uint64_t seed_ = 1;
    std::int32_t today_ = SimDataOptions{}.today;
    std::vector<SimRegion> regions_;
    std::vector<SimTrade> trades_;
    std::unordered_map<std::string, std::uint32_t> byGuid_;
    std::unordered_map<std::string, std::uint16_t> regionByCode_;
    std::vector<std::vector<std::uint32_t>> buckets_;  // region * 6 + type
};

// A guid-shaped text from two random words: 8-4-4-4-12 lower-case hex digits.
std::string MakeGuid(std::uint64_t high, std::uint64_t low);
// "1500000.50" from 150000050.
std::string KopecksText(std::int64_t kopecks);
// A region code compared as the register does: leading zeros do not count.
std::string NormalRegionCode(std::string_view code);

}  // namespace korvalot::tools
