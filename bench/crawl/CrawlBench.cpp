// Figures of the crawl engine:
//   harvest wall time against the pacing bound (jobs x 200 ms), product timings, no latency;
//   CPU time of the card phase per 1000 cards, and of card extraction alone;
//   heap held by the run's collections at the hand-over, per trade, for 10,000 and 100,000
//   trades found in the search phase;
//   1,000,000 guids through de-duplication.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include "crawl/Collections.h"
#include "crawl/RegionDirectory.h"
#include "crawl/ResultsFile.h"
#include "crawl/RunEvents.h"
#include "crawl/SearchQueries.h"
#include "crawl/TradeCard.h"
#include "crawl/uScraper.h"
#include "tools/register-sim/SimProcess.h"

namespace korvalot::crawl {
namespace {

using namespace std::chrono_literals;

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::size_t HeapInUse() {
    return mallinfo2().uordblks;
}

// The window's part without a window: counts what the benchmarks need, keeps nothing else.
class QuietReports : public ScraperReports {
public:
    RunInputs inputs;
    bool stopAtHandOver = false;

    std::atomic<long> dispatched{0};
    std::atomic<long> errors{0};
    std::size_t heapAtHandOver = 0;
    long foundAtHandOver = 0;
    double cpuAtCardStart = 0;
    double cpuAtEnd = 0;

    void UpdateRunUi(TScraper&) override {}
    void ShowLogMessage(TScraper&) override {}
    void ShowProgress(TScraper&) override {}
    void ReportEvent(TScraper& run, const RunEvent& event) override {
        if (const auto* ended = std::get_if<PhaseEnded>(&event)) {
            if (ended->phase != RunPhase::Search)
                return;
            heapAtHandOver = HeapInUse();
            foundAtHandOver = run.firmscounter;
            if (stopAtHandOver)
                run.Terminate();
        } else if (const auto* started = std::get_if<PhaseStarted>(&event)) {
            if (started->phase == RunPhase::Cards)
                cpuAtCardStart = CpuSeconds();
        } else if (const auto* finished = std::get_if<JobFinished>(&event)) {
            // A job that went out: its worker's outcome came back.
            if (finished->outcome)
                ++dispatched;
        }
    }
    void ShowFoundCount(TScraper&) override {}
    void HandleRunResult(TScraper& run) override {
        if (run.result.IsError()) {
            ++errors;
        } else {
            cpuAtEnd = CpuSeconds();
        }
    }
    RunInputs ReadRunInputs(TScraper&) override { return inputs; }
};

std::filesystem::path ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "korvalot-bench-XXXXXX").string();
    return ::mkdtemp(pattern.data());
}

// Every region of the simulator's directory as the window lists it.
std::vector<std::string> AllRegions(const tools::SimProcess& sim) {
    return crawl::RegionItemsFromDirectory(sim.Get("/backend/reference-book/regions").body);
}

struct Harvest {
    double wallSeconds = 0;
};

Harvest RunHarvest(QuietReports& reports, const std::string& baseUrl, ScraperTimings timings) {
    const auto dir = ScratchDir();
    ScraperEnvironment env;
    env.executableDir = dir;
    env.guidsFile = dir / "guids.txt";
    env.openDocument = [](const std::filesystem::path&) {};
    env.mutexName = "Global\\KorvalotTest";
    env.timings = timings;
    const auto start = std::chrono::steady_clock::now();
    auto run = TScraper::Create(reports, baseUrl, env);
    run->Limit = 4;
    run->Start();
    run->WaitUntilEnded(std::chrono::hours(2));
    Harvest h;
    h.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::filesystem::remove_all(dir);
    return h;
}

RunInputs Selection(std::vector<std::string> regions, std::vector<int> types) {
    RunInputs in;
    in.regionItems = std::move(regions);
    in.tradeTypePositions = std::move(types);
    in.dateFrom = std::chrono::year_month_day{std::chrono::year(2026), std::chrono::January,
                                              std::chrono::day(1)};
    in.dateTo = std::chrono::year_month_day{std::chrono::year(2026), std::chrono::June,
                                            std::chrono::day(30)};
    return in;
}

// The product's pacing: one worker started at most every 200 ms, at most four at once.
void BM_HarvestAgainstPacingBound(benchmark::State& state) {
    tools::SimProcess sim({"--port", "0", "--trades", "3000", "--seed", "11"});
    for (auto _ : state) {
        QuietReports reports;
        reports.inputs =
            Selection({"Республика Саха (Якутия) (14)", "Московская область (50)"}, {2});
        const Harvest h = RunHarvest(reports, sim.BaseUrl(), ScraperTimings{});
        const double bound = 0.2 * static_cast<double>(reports.dispatched.load());
        state.SetIterationTime(h.wallSeconds);
        state.counters["jobs"] = static_cast<double>(reports.dispatched.load());
        state.counters["bound_s"] = bound;
        state.counters["wall_s"] = h.wallSeconds;
        state.counters["over_bound_pct"] = 100.0 * (h.wallSeconds - bound) / bound;
        state.counters["errors"] = static_cast<double>(reports.errors.load());
    }
}
BENCHMARK(BM_HarvestAgainstPacingBound)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// The whole card phase of a harvest (requests over TLS, extraction, file), CPU of this process.
void BM_CardPhaseCpuPer1000Cards(benchmark::State& state) {
    tools::SimProcess sim({"--port", "0", "--trades", "3000", "--seed", "11"});
    for (auto _ : state) {
        QuietReports reports;
        reports.inputs = Selection({"Москва (77)"}, {0});
        RunHarvest(reports, sim.BaseUrl(), {1ms, 1ms, 20ms});
        const double cards = static_cast<double>(reports.foundAtHandOver);
        const double cpu = reports.cpuAtEnd - reports.cpuAtCardStart;
        state.SetIterationTime(cpu);
        state.counters["cards"] = cards;
        state.counters["cpu_s_per_1000_cards"] = cpu / cards * 1000.0;
    }
}
BENCHMARK(BM_CardPhaseCpuPer1000Cards)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Card extraction and the line of the results file alone, for a typical three-lot card.
void BM_CardExtraction(benchmark::State& state) {
    const std::string card =
        R"j({"id":"0f3c","message":{"number":"12345678","datePublish":"2026-02-03T10:15:00.123+03:00","type":"BiddingDeclaration"},)j"
        R"j("debtor":{"name":"ООО \"Северный ветер\"","inn":"7701234567","ogrn":"1027700000000"},)j"
        R"j("arbitrManager":{"name":"Иванов Иван Иванович","inn":"770100000001"},)j"
        R"j("biddingPeriod":{"startDate":"2026-03-01T09:00:00+03:00","endDate":"2026-03-15T18:00:00+03:00"}})j";
    std::string lots = R"j({"found":3,"pageData":[)j";
    for (int k = 0; k < 3; ++k) {
        lots +=
            (k ? "," : "") + std::string(R"j({"number":)j") + std::to_string(k + 1) +
            R"j(,"classifiers":["Жилые здания (помещения)","Земельные участки"],"tradeObject":"Квартира общей площадью 54,3 кв. м, кадастровый номер 77:01:0001001:1234, расположенная по адресу: г. Москва, ул. Примерная, д. 1, кв. )j" +
            std::to_string(k + 10) +
            R"j(","startPrice":1500000.50,"currentPrice":null,"winner":{"name":"Петров П. П.","inn":"500100000002"}})j";
    }
    lots += "]}";
    const std::string additional =
        R"j({"courtName":"Арбитражный суд города Москвы","caseNumber":"А40-1/2026"})j";
    std::size_t bytes = 0;
    for (auto _ : state) {
        const CardRows rows = ExtractCard("0f3c1d2e-aaaa-bbbb-cccc-1234567890ab", "Москва",
                                          {card, {lots}, additional}, ",");
        for (const auto& row : rows.rows)
            bytes += ResultsFile::FormatLine("https://reg.test", row).size();
    }
    benchmark::DoNotOptimize(bytes);
    state.counters["cards_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CardExtraction)->Unit(benchmark::kMicrosecond);

// The heap the run holds when the search phase hands over: every trade of the register found.
void BM_SearchPhaseMemory(benchmark::State& state) {
    const auto trades = std::to_string(state.range(0));
    tools::SimProcess sim({"--port", "0", "--trades", trades, "--seed", "5"});
    const auto regions = AllRegions(sim);
    for (auto _ : state) {
        malloc_trim(0);
        const std::size_t before = HeapInUse();
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const long rssBefore = usage.ru_maxrss;
        QuietReports reports;
        reports.inputs = Selection(regions, {0, 1, 2, 3, 4, 5});
        reports.stopAtHandOver = true;
        const Harvest h = RunHarvest(reports, sim.BaseUrl(), {0ms, 1ms, 20ms});
        getrusage(RUSAGE_SELF, &usage);
        const double found = static_cast<double>(reports.foundAtHandOver);
        state.SetIterationTime(h.wallSeconds);
        state.counters["trades_found"] = found;
        state.counters["heap_bytes_per_trade"] =
            static_cast<double>(reports.heapAtHandOver - before) / found;
        state.counters["peak_rss_growth_bytes_per_trade"] =
            static_cast<double>(usage.ru_maxrss - rssBefore) * 1024.0 / found;
        state.counters["search_jobs"] = static_cast<double>(reports.dispatched.load());
    }
}
BENCHMARK(BM_SearchPhaseMemory)
    ->Arg(10000)
    ->Arg(100000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// A million guids, one in ten met again in another letter case, through the collections.
void BM_Deduplicate1MGuids(benchmark::State& state) {
    constexpr std::size_t kGuids = 1000000;
    std::vector<std::string> pages;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::vector<std::string>> batches;
        batches.reserve(kGuids / 50 + 1);
        std::vector<std::string> batch;
        char text[40];
        for (std::size_t k = 0; k < kGuids; ++k) {
            const std::size_t id = k % 10 == 9 ? k / 2 : k;
            std::snprintf(
                text, sizeof text,
                k % 10 == 9 ? "%08ZX-AAAA-BBBB-CCCC-%012zX" : "%08zx-aaaa-bbbb-cccc-%012zx",
                id * 2654435761u % 4294967291u, id);
            batch.emplace_back(text);
            if (batch.size() == 50)
                batches.push_back(std::move(batch)), batch.clear();
        }
        malloc_trim(0);
        const std::size_t before = HeapInUse();
        state.ResumeTiming();
        auto c = std::make_unique<RunCollections>();
        std::size_t added = 0;
        for (auto& b : batches)
            added += CollectNewGuids(*c, std::move(b), "77");
        state.PauseTiming();
        state.counters["new_guids"] = static_cast<double>(added);
        state.counters["heap_bytes_per_new_guid"] =
            static_cast<double>(HeapInUse() - before) / static_cast<double>(added);
        c.reset();
        batches.clear();
        state.ResumeTiming();
    }
    state.counters["guids_per_s"] = benchmark::Counter(
        static_cast<double>(kGuids), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_Deduplicate1MGuids)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace korvalot::crawl

BENCHMARK_MAIN();
