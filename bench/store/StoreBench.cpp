// Figures of the trade store (bench/store/run.sh runs them with the harvest driver's):
//   CPU per trade stored, a new trade and one harvested again, as the card phase hands them over
//   (a transaction per trade, each committed to the disk);
//   an export of 1,000,000 stored lots to CSV: its time and its peak memory beside one of
//   100,000, so that memory is seen not to grow with the lots;
//   the database's size per lot;
//   the time of a full-text query over 1,000,000 lots.
//
// The rows are the register simulator's: its trades' cards turned into rows by the engine, so
// that the texts have the register's sizes and words. The stores of 100,000 and 1,000,000 lots
// are made once and kept (KORVALOT_BENCH_DIR, else the temporary folder), for they take minutes.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "crawl/TradeCard.h"
#include "store/Database.h"
#include "store/LotBrowser.h"
#include "store/Schema.h"
#include "store/StoreExport.h"
#include "store/TradeStore.h"
#include "tools/register-sim/SimData.h"
#include "tools/register-sim/SimRegister.h"

namespace korvalot::store {
namespace {

namespace fs = std::filesystem;

struct Trade {
    std::string guid;
    std::string region;
    json::JsonValue card;
    std::vector<crawl::ResultRow> rows;
};

// The simulator's regions as region items ("name (code)"), so that the stores know their codes.
std::vector<std::string>& SampleRegionItems() {
    static std::vector<std::string> items;
    return items;
}

// Trades of the simulator as the engine hands them to the store, made once.
const std::vector<Trade>& SampleTrades() {
    static const std::vector<Trade> trades = [] {
        tools::SimDataOptions options;
        options.trades = 3000;
        options.seed = 1;
        const auto data = std::make_shared<tools::SimData>(tools::SimData::Generate(options));
        tools::SimRegister reg(data, {});
        for (const tools::SimRegion& region : data->Regions())
            SampleRegionItems().push_back(region.description + " (" + region.code + ")");
        std::vector<Trade> out;
        for (const tools::SimTrade& trade : data->Trades()) {
            if (trade.hot)
                continue;
            const auto get = [&](const std::string& tail) {
                tools::SimRequest request;
                request.target = "/backend/biddings/" + trade.guid + tail;
                return reg.Handle(request).body;
            };
            crawl::CardAnswers answers{
                get(""), {get("/lots?offset=0&limit=50")}, get("/additional")};
            const std::string region = data->Regions()[trade.region].description;
            Trade t{trade.guid, region, json::Parse(answers.trade),
                    crawl::ExtractCard(trade.guid, region, answers, ",").rows};
            out.push_back(std::move(t));
        }
        return out;
    }();
    return trades;
}

fs::path BenchDir() {
    const char* dir = std::getenv("KORVALOT_BENCH_DIR");
    return dir != nullptr ? fs::path(dir) : fs::temp_directory_path();
}

std::unique_ptr<TradeStore> NewStore(const fs::path& path) {
    std::error_code ignored;
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(path.string() + suffix, ignored);
    auto store = std::make_unique<TradeStore>(path);
    SampleTrades();
    store->Begin(
        {path.parent_path() / "data1.csv", "https://register.test", ",", SampleRegionItems()});
    return store;
}

// The same trade under another guid, for as many trades as a benchmark asks.
std::string GuidNumber(std::size_t n) {
    char text[40];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012zx", n);
    return text;
}

void CountTexts(benchmark::State& state, std::size_t trades) {
    double lots = 0;
    for (const Trade& t : SampleTrades())
        lots += static_cast<double>(t.rows.size());
    state.counters["lotsPerTrade"] = lots / static_cast<double>(SampleTrades().size());
    state.counters["trades"] = static_cast<double>(trades);
}

// A trade the store has not met: its rows, its words and the run's counts, in one transaction.
void BM_StoreNewTrade(benchmark::State& state) {
    const auto& trades = SampleTrades();
    const fs::path path = BenchDir() / ("korvalot-store-bench-new-" + std::to_string(::getpid()));
    auto store = NewStore(path);
    std::size_t n = 0;
    for (auto _ : state) {
        const Trade& trade = trades[n % trades.size()];
        const std::string guid = GuidNumber(n++);
        // The rows' own guids are not read: the trade's is the one given.
        store->TradeWritten(guid, trade.region, trade.card, trade.rows);
    }
    CountTexts(state, n);
    store.reset();
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(path.string() + suffix);
}
BENCHMARK(BM_StoreNewTrade)->Unit(benchmark::kMicrosecond)->MinTime(3);

// A trade harvested again without a change: every value compared, nothing but its last sight
// written.
void BM_StoreSameTrade(benchmark::State& state) {
    const auto& trades = SampleTrades();
    const fs::path path = BenchDir() / ("korvalot-store-bench-same-" + std::to_string(::getpid()));
    auto store = NewStore(path);
    for (const Trade& trade : trades)
        store->TradeWritten(trade.guid, trade.region, trade.card, trade.rows);
    std::size_t n = 0;
    for (auto _ : state) {
        const Trade& trade = trades[n++ % trades.size()];
        store->TradeWritten(trade.guid, trade.region, trade.card, trade.rows);
    }
    CountTexts(state, n);
    store.reset();
    for (const char* suffix : {"", "-wal", "-shm"})
        fs::remove(path.string() + suffix);
}
BENCHMARK(BM_StoreSameTrade)->Unit(benchmark::kMicrosecond)->MinTime(3);

struct MadeStore {
    fs::path path;
    double storeSeconds = 0;  // storing its trades, as harvests would
    double indexSeconds = 0;  // the words index of all of them, as the first query makes it
};

// A store of at least `lots` lots, made once through the store itself and kept, its words
// indexed.
MadeStore StoreOfLots(std::size_t lots) {
    // Named by the schema's version: a store another build made is not migrated under it.
    MadeStore made{BenchDir() / ("korvalot-store-bench-v" + std::to_string(kSchemaVersion) + "-" +
                                 std::to_string(lots) + ".sqlite")};
    const fs::path done = made.path.string() + ".done";
    if (fs::exists(done) && fs::exists(made.path)) {
        std::ifstream(done) >> made.storeSeconds >> made.indexSeconds;
        return made;
    }
    std::fprintf(stderr, "making a store of %zu lots in %s (once)\n", lots, made.path.c_str());
    const auto start = std::chrono::steady_clock::now();
    auto store = NewStore(made.path);
    const auto& trades = SampleTrades();
    std::size_t stored = 0;
    for (std::size_t n = 0; stored < lots; ++n) {
        const Trade& trade = trades[n % trades.size()];
        store->TradeWritten(GuidNumber(n), trade.region, trade.card, trade.rows);
        stored += trade.rows.size();
    }
    store.reset();
    const auto indexing = std::chrono::steady_clock::now();
    {
        const auto db = OpenStoreForReading(made.path, std::chrono::seconds(3));
        IndexNewWords(*db);
    }
    const auto end = std::chrono::steady_clock::now();
    made.storeSeconds = std::chrono::duration<double>(indexing - start).count();
    made.indexSeconds = std::chrono::duration<double>(end - indexing).count();
    std::ofstream(done) << made.storeSeconds << " " << made.indexSeconds << "\n";
    return made;
}

std::int64_t StoredLots(Database& db) {
    return db.QueryInt("SELECT count(*) FROM lots");
}

// The peak resident memory since the last reset, in KiB; the reset makes the peak the current
// size (Linux: /proc/self/clear_refs).
long PeakRssKb(bool reset) {
    if (reset) {
        std::ofstream("/proc/self/clear_refs") << "5";
        return 0;
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    }
    return -1;
}

long CurrentRssKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:"))
            return std::stol(line.substr(6));
    }
    return -1;
}

// Every stored lot to CSV, as korvalot-export writes it.
void BM_ExportCsv(benchmark::State& state) {
    const MadeStore made = StoreOfLots(static_cast<std::size_t>(state.range(0)));
    const fs::path& store = made.path;
    const fs::path output =
        BenchDir() / ("korvalot-store-bench-export-" + std::to_string(::getpid()) + ".csv");
    const auto db = OpenStoreForReading(store, std::chrono::seconds(3));
    const std::int64_t lots = StoredLots(*db);
    long before = 0, peak = 0;
    ExportCounts counts;
    for (auto _ : state) {
        before = CurrentRssKb();
        PeakRssKb(true);
        counts = ExportRows(*db, {}, output, ExportFormat::Csv, ",");
        peak = PeakRssKb(false);
    }
    state.counters["lots"] = static_cast<double>(lots);
    state.counters["rowsWritten"] = static_cast<double>(counts.rows);
    state.counters["peakRssGrowthKiB"] = static_cast<double>(peak - before);
    state.counters["csvMiB"] = static_cast<double>(fs::file_size(output)) / (1024.0 * 1024.0);
    state.counters["storeBytesPerLot"] =
        static_cast<double>(fs::file_size(store)) / static_cast<double>(lots);
    state.counters["storingSeconds"] = made.storeSeconds;
    state.counters["wordsIndexSeconds"] = made.indexSeconds;
    fs::remove(output);
}
BENCHMARK(BM_ExportCsv)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

// Words in lot descriptions and debtor names over 1,000,000 lots, the rows read as an export
// reads them.
void BM_WordsQuery(benchmark::State& state, std::vector<std::string> words) {
    const auto db = OpenStoreForReading(StoreOfLots(1000000).path, std::chrono::seconds(3));
    TradeFilter filter;
    filter.words = std::move(words);
    std::int64_t rows = 0;
    for (auto _ : state) {
        rows = 0;
        ForEachStoredRow(*db, filter, [&](const StoredRow&) { ++rows; });
    }
    state.counters["rowsFound"] = static_cast<double>(rows);
}
BENCHMARK_CAPTURE(BM_WordsQuery, a_common_word, std::vector<std::string>{"квартира"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_WordsQuery, two_words, std::vector<std::string>{"КВАРТИРА", "москва"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_WordsQuery, a_prefix_and_a_debtor, std::vector<std::string>{"автомоб*", "ооо"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Opening the store for a harvest over 1,000,000 lots: the quick check of every page, then the
// run's record.
void BM_OpenForHarvest(benchmark::State& state) {
    const fs::path path = StoreOfLots(1000000).path;
    for (auto _ : state) {
        TradeStore store(path);
        benchmark::DoNotOptimize(store.RunId());
    }
}
BENCHMARK(BM_OpenForHarvest)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The quick check alone, over 1,000,000 lots.
void BM_QuickCheck(benchmark::State& state) {
    const auto db = OpenStoreForReading(StoreOfLots(1000000).path, std::chrono::seconds(3));
    for (auto _ : state) {
        Statement check(*db, "PRAGMA quick_check(1)");
        check.Step();
        benchmark::DoNotOptimize(check.Text(0));
    }
}
BENCHMARK(BM_QuickCheck)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Words over 1,000,000 lots of which the last ones (a harvest still writing: range(0) lots) are
// not in the words index yet and are matched one by one. The index's reach is moved back in a
// transaction that is rolled back.
void BM_WordsQueryNotYetIndexed(benchmark::State& state) {
    auto db = OpenStoreForReading(StoreOfLots(1000000).path, std::chrono::seconds(3));
    const std::int64_t lots = state.range(0);
    Transaction moved(*db);
    Statement back(*db,
                   "UPDATE words_indexed SET up_to = coalesce((SELECT trade_id - 1 FROM lots "
                   "ORDER BY id DESC LIMIT 1 OFFSET ?), up_to)");
    if (lots > 0)
        back.Bind(1, lots).Run();
    TradeFilter filter;
    filter.words = {"автомоб*", "ооо"};
    std::int64_t rows = 0;
    for (auto _ : state) {
        rows = 0;
        ForEachStoredRow(*db, filter, [&](const StoredRow&) { ++rows; });
    }
    state.counters["rowsFound"] = static_cast<double>(rows);
}
BENCHMARK(BM_WordsQueryNotYetIndexed)
    ->Arg(0)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Browsing 1,000,000 lots: the filters a user types, alone and together.
TradeFilter BrowseFilter(int which) {
    TradeFilter filter;
    if (which == 0 || which == 3)
        filter.words = {"квартира"};
    if (which == 1 || which == 3)
        filter.regionCodes = {"77"};
    if (which == 2 || which == 3) {
        filter.startPriceFrom = 1000000;
        filter.startPriceTo = 5000000;
    }
    return filter;
}

const char* BrowseFilterName(int which) {
    static const char* const kNames[] = {"words", "region", "price", "combined"};
    return kNames[which];
}

// The first screen (60 lots) of a filter in the store's order and sorted by a price.
void BM_BrowseFirstScreen(benchmark::State& state) {
    LotBrowser browser(StoreOfLots(1000000).path);
    const TradeFilter filter = BrowseFilter(static_cast<int>(state.range(0)));
    const LotOrder order{state.range(1) != 0 ? LotColumn::StartPrice : LotColumn::Lot, false};
    std::size_t rows = 0;
    for (auto _ : state)
        rows = browser.FirstLots(filter, order, 60).size();
    state.SetLabel(std::string(BrowseFilterName(static_cast<int>(state.range(0)))) +
                   (state.range(1) != 0 ? ", by start price" : ", store order"));
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_BrowseFirstScreen)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// Every matching lot id of a filter, in the store's order.
void BM_BrowseAllIds(benchmark::State& state) {
    LotBrowser browser(StoreOfLots(1000000).path);
    const TradeFilter filter = BrowseFilter(static_cast<int>(state.range(0)));
    std::size_t ids = 0;
    for (auto _ : state)
        ids = browser.LotIds(filter, {}).size();
    state.SetLabel(BrowseFilterName(static_cast<int>(state.range(0))));
    state.counters["lots"] = static_cast<double>(ids);
}
BENCHMARK(BM_BrowseAllIds)
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// Every id of a 100,000-lot result sorted by a column: a price (by value), a text (as a Russian
// reader sorts it, through the fold of each text) and the longest text, the lot's description.
void BM_BrowseSort100k(benchmark::State& state) {
    LotBrowser browser(StoreOfLots(100000).path);
    const auto column = static_cast<LotColumn>(state.range(0));
    std::size_t ids = 0;
    for (auto _ : state)
        ids = browser.LotIds({}, {column, true}).size();
    state.counters["lots"] = static_cast<double>(ids);
}
BENCHMARK(BM_BrowseSort100k)
    ->Arg(static_cast<int>(LotColumn::StartPrice))
    ->Arg(static_cast<int>(LotColumn::DebtorName))
    ->Arg(static_cast<int>(LotColumn::LotDescription))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// The peak memory growth of holding every id of a 1,000,000-lot match.
void BM_BrowseIdsMemory(benchmark::State& state) {
    LotBrowser browser(StoreOfLots(1000000).path);
    long before = 0, peak = 0;
    std::size_t ids = 0;
    for (auto _ : state) {
        before = CurrentRssKb();
        PeakRssKb(true);
        const std::vector<std::int64_t> all = browser.LotIds({}, {});
        peak = PeakRssKb(false);
        ids = all.size();
    }
    state.counters["lots"] = static_cast<double>(ids);
    state.counters["peakRssGrowthKiB"] = static_cast<double>(peak - before);
}
BENCHMARK(BM_BrowseIdsMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// korvalot-export's time for the same filters: their rows to a .csv.
void BM_BrowseFilterExport(benchmark::State& state) {
    const auto db = OpenStoreForReading(StoreOfLots(1000000).path, std::chrono::seconds(3));
    const TradeFilter filter = BrowseFilter(static_cast<int>(state.range(0)));
    const fs::path output =
        BenchDir() / ("korvalot-store-bench-browse-" + std::to_string(::getpid()) + ".csv");
    ExportCounts counts;
    for (auto _ : state)
        counts = ExportRows(*db, filter, output, ExportFormat::Csv, ",");
    state.SetLabel(BrowseFilterName(static_cast<int>(state.range(0))));
    state.counters["rows"] = static_cast<double>(counts.rows);
    fs::remove(output);
}
BENCHMARK(BM_BrowseFilterExport)
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
}  // namespace korvalot::store

BENCHMARK_MAIN();
