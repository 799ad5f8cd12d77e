// A whole harvest without the window: one TScraper against a register (the simulator), its
// reports on the console, and the figures of the run on the last line of standard output.
//
//   korvalot_harvest_bench --url https://127.0.0.1:PORT --regions "Москва (77)" --types 0,2
//       [--all-regions] [--from yyyy-mm-dd] [--to yyyy-mm-dd] [--search-only]
//       [--pacing-ms 200] [--retry-ms 100] [--read-limit-ms 30000]
//       [--limit 4] [--dir DIR] [--log FILE] [--error-pause-ms 30000] [--store FILE]
//
// --store keeps every harvested trade in the trade store as well, as korvalot-harvest --store
// does, so that the store's share of the CPU per card can be measured: storeCpu is the crawl
// thread's CPU time (user plus system) inside the store's calls.
//
// The last line reads "figures:" followed by key=value pairs (times in seconds, memory in KiB):
// wall, search, cards (the phases), searchJobs and cardJobs (jobs that got a worker), failed
// (jobs logged with an error), rows, trades (the hand-over's count), cpu and cardsCpu (user plus
// system), baselineRss (before the run), peakRss and storeCpu (with --store).

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "crawl/RegionDirectory.h"
#include "crawl/RegisterAddresses.h"
#include "crawl/ResultsFile.h"
#include "crawl/SearchQueries.h"
#include "crawl/uScraper.h"
#include "fetch/ClientProfiles.h"
#include "fetch/TScrapingThread2.h"
#include "fetch/WorkerClientTransport.h"
#include "json/JsonValue.h"
#include "store/TradeStore.h"
#include "util/uLib.h"

namespace {

using namespace korvalot;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string url;
    std::vector<std::string> regionItems;
    bool allRegions = false;
    std::vector<int> types;
    std::optional<std::chrono::year_month_day> from;
    std::optional<std::chrono::year_month_day> to;
    bool searchOnly = false;
    int pacingMs = 200;
    int retryMs = 100;
    int readLimitMs = 30000;
    int limit = 4;
    int errorPauseMs = 30000;
    std::filesystem::path dir;
    std::string logFile;
    std::filesystem::path storeFile;
    bool incremental = false;  // skip.txt in the folder names every trade harvested
};

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "korvalot_harvest_bench: " << problem << "\n"
              << "usage: korvalot_harvest_bench --url URL (--regions \"name (code)\";... | "
                 "--all-regions) --types 0,2\n"
                 "         [--from d] [--to d] [--search-only] [--pacing-ms N]\n"
                 "         [--retry-ms N] [--read-limit-ms N] [--limit N] [--dir DIR] "
                 "[--log FILE]\n"
                 "         [--error-pause-ms N] [--store FILE] [--incremental]\n";
    std::exit(2);
}

int Number(const std::string& option, const std::string& text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0)
        Usage(option + ": not a number: " + text);
    return value;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage(option + ": a value is missing");
            return argv[++i];
        };
        auto date = [&]() {
            const std::string text = value();
            const auto d = crawl::ParseIsoDate(text);
            if (!d)
                Usage(option + ": not a date: " + text);
            return *d;
        };
        if (option == "--url") {
            o.url = value();
        } else if (option == "--regions") {
            o.regionItems = Split(value(), ';');
        } else if (option == "--all-regions") {
            o.allRegions = true;
        } else if (option == "--types") {
            for (const auto& t : Split(value(), ','))
                o.types.push_back(Number(option, t));
        } else if (option == "--from") {
            o.from = date();
        } else if (option == "--to") {
            o.to = date();
        } else if (option == "--search-only") {
            o.searchOnly = true;
        } else if (option == "--pacing-ms") {
            o.pacingMs = Number(option, value());
        } else if (option == "--retry-ms") {
            o.retryMs = Number(option, value());
        } else if (option == "--read-limit-ms") {
            o.readLimitMs = Number(option, value());
        } else if (option == "--limit") {
            o.limit = Number(option, value());
        } else if (option == "--error-pause-ms") {
            o.errorPauseMs = Number(option, value());
        } else if (option == "--dir") {
            o.dir = value();
        } else if (option == "--log") {
            o.logFile = value();
        } else if (option == "--store") {
            o.storeFile = value();
        } else if (option == "--incremental") {
            o.incremental = true;
        } else {
            Usage("unknown argument: " + option);
        }
    }
    if (o.url.empty() || (o.regionItems.empty() && !o.allRegions) || o.types.empty())
        Usage("--url, the regions and --types are needed");
    return o;
}

// The register's region directory as the window's list shows it: "name (code)". Through a
// worker's client, which needs no client certificate.
std::vector<std::string> LoadRegionItems(const std::string& url) {
    const crawl::RegisterAddresses addresses(url);
    fetch::WorkerClient client;
    const std::string body = client.Get(addresses.Regions(), addresses.Referer());
    std::vector<std::string> items = crawl::RegionItemsFromDirectory(body);
    if (items.empty())
        throw std::runtime_error("the region directory holds no region");
    return items;
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

long PeakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The resident set now, from /proc (the peak of getrusage cannot go down).
long CurrentRssKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

// The window's part, on the console: log lines go to the log file (or nowhere), the progress
// to standard error at most once a second. Jobs and phases are counted from the run's events;
// the run pauses itself after an error result.
class ConsoleReports : public crawl::ScraperReports {
public:
    ConsoleReports(const Options& options, crawl::RunInputs inputs)
        : options_(options), inputs_(std::move(inputs)) {
        if (!options.logFile.empty())
            log_.open(options.logFile, std::ios::binary | std::ios::trunc);
    }

    void UpdateRunUi(crawl::TScraper& run) override {
        Line(run.CursorHourGlass ? "Начало работы" : "Конец работы");
    }
    void ShowLogMessage(crawl::TScraper& run) override { Line(run.LogMessageText); }
    void ReportEvent(crawl::TScraper& run, const crawl::RunEvent& event) override {
        if (const auto* job = std::get_if<crawl::JobFinished>(&event)) {
            if (job->fate == crawl::JobFate::NotDone)
                return;
            ++(job->phase == crawl::RunPhase::Search ? searchJobs : cardJobs);
            if (job->outcome && !job->outcome->Ok())
                ++failed;
        } else if (const auto* started = std::get_if<crawl::PhaseStarted>(&event)) {
            if (started->phase == crawl::RunPhase::Cards)
                trades = started->jobs;
        } else if (const auto* ended = std::get_if<crawl::PhaseEnded>(&event)) {
            if (ended->phase == crawl::RunPhase::Search) {
                handOver = Clock::now();
                handOverCpu = CpuSeconds();
                if (options_.searchOnly)
                    run.Terminate();
            } else if (ended->end != crawl::PhaseEnd::Stopped) {
                // A stopped card phase (--search-only) has no end worth timing.
                cardsEnd = Clock::now();
                cardsEndCpu = CpuSeconds();
            }
        }
    }
    void ShowProgress(crawl::TScraper& run) override {
        const auto now = Clock::now();
        if (now - lastProgress_ < std::chrono::seconds(1))
            return;
        lastProgress_ = now;
        std::cerr << "\r" << run.ProgressBarPosition << " / " << run.ProgressBarMax << "   "
                  << std::flush;
    }
    void ShowFoundCount(crawl::TScraper&) override {}
    void HandleRunResult(crawl::TScraper& run) override {
        Line("result: " + run.result.Text());
        if (run.result.IsError())
            ++errorResults;
    }
    crawl::RunInputs ReadRunInputs(crawl::TScraper&) override { return inputs_; }

    long searchJobs = 0;
    long cardJobs = 0;
    long failed = 0;
    long trades = 0;
    long errorResults = 0;
    std::optional<Clock::time_point> handOver;
    std::optional<Clock::time_point> cardsEnd;
    double handOverCpu = 0;
    double cardsEndCpu = 0;

private:
    void Line(const std::string& text) {
        if (!log_.is_open())
            return;
        log_ << crawl::FormatLogDateTime(inputs_.regional.logDateTimeFormat,
                                         std::chrono::system_clock::now())
             << ": " << text << "\r\n";
    }

    const Options& options_;
    crawl::RunInputs inputs_;
    std::ofstream log_;
    Clock::time_point lastProgress_{};
};

// Lines of the results file: every field is quoted and no value holds a double quote, so a
// line is 28 quotes however many physical lines its values span.
long CountRows(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    long quotes = 0;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i)
            quotes += buffer[i] == '"';
    }
    return quotes / 28 - 1;
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The store, with the CPU time the crawl thread spends in it counted.
class TimedSink : public crawl::TradeSink {
public:
    explicit TimedSink(std::shared_ptr<crawl::TradeSink> inner) : inner_(std::move(inner)) {}

    void Begin(const crawl::TradeSinkRun& run) override {
        const double start = ThreadCpuSeconds();
        inner_->Begin(run);
        cpu += ThreadCpuSeconds() - start;
    }
    bool TradeWritten(const std::string& guid, const std::string& regionName,
                      const json::JsonValue& tradeCard,
                      const std::vector<crawl::ResultRow>& rows) override {
        const double start = ThreadCpuSeconds();
        const bool kept = inner_->TradeWritten(guid, regionName, tradeCard, rows);
        cpu += ThreadCpuSeconds() - start;
        return kept;
    }
    std::string Finish(crawl::RunSummary& summary) override {
        const double start = ThreadCpuSeconds();
        std::string line = inner_->Finish(summary);
        cpu += ThreadCpuSeconds() - start;
        return line;
    }

    std::atomic<double> cpu{0};

private:
    std::shared_ptr<crawl::TradeSink> inner_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
    if (options.allRegions)
        options.regionItems = LoadRegionItems(options.url);

    std::filesystem::path dir = options.dir;
    std::optional<std::filesystem::path> madeDir;
    if (dir.empty()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "korvalot-harvest-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
        madeDir = dir;
    }

    crawl::RunInputs inputs;
    inputs.regionItems = options.regionItems;
    inputs.tradeTypePositions = options.types;
    inputs.dateFrom = options.from;
    inputs.dateTo = options.to;
    ConsoleReports reports(options, inputs);

    crawl::ScraperEnvironment env;
    env.executableDir = dir;
    env.guidsFile = dir / "guids.txt";
    env.tickCount = [] { return std::int32_t{1}; };
    env.openDocument = [](const std::filesystem::path&) {};
    env.mutexName = "Global\\KorvalotHarvestBench" + std::to_string(::getpid());
    env.recordHarvested = options.incremental;
    env.timings = {std::chrono::milliseconds(options.pacingMs),
                   std::chrono::milliseconds(options.retryMs)};
    env.timings.errorPause = std::chrono::milliseconds(options.errorPauseMs);
    if (options.readLimitMs != 30000) {
        fetch::ClientLimits limits;
        limits.read = std::chrono::milliseconds(options.readLimitMs);
        limits.connect = std::chrono::milliseconds(options.readLimitMs);
        env.transport = fetch::WorkerClientTransportFactory(limits);
    }

    std::shared_ptr<TimedSink> timedStore;
    if (!options.storeFile.empty()) {
        timedStore =
            std::make_shared<TimedSink>(std::make_shared<store::TradeStore>(options.storeFile));
        env.openTradeSink = [timedStore] { return timedStore; };
    }

    const long baselineRss = CurrentRssKb();
    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    auto run = crawl::TScraper::Create(reports, options.url, env);
    run->Limit = options.limit;
    run->Start();
    run->WaitUntilEnded(std::chrono::hours(24 * 365));
    const auto end = Clock::now();
    const double cpuEnd = CpuSeconds();
    std::cerr << "\n";

    auto secondsBetween = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double>(b - a).count();
    };
    const auto handOver = reports.handOver.value_or(end);
    // A run that found nothing, or stopped after its search, has no card phase to name them.
    if (reports.trades == 0)
        reports.trades = run->Summary().tradesFound;
    const std::filesystem::path results = dir / crawl::ResultsFile::FileName(1);
    const long rows = std::filesystem::exists(results) ? CountRows(results) : 0;
    std::printf(
        "figures: wall=%.3f search=%.3f cards=%.3f searchJobs=%ld cardJobs=%ld failed=%ld "
        "errors=%ld trades=%ld rows=%ld cpu=%.3f cardsCpu=%.3f baselineRss=%ld peakRss=%ld "
        "storeCpu=%.3f\n",
        secondsBetween(start, end), secondsBetween(start, handOver),
        reports.cardsEnd ? secondsBetween(handOver, *reports.cardsEnd) : 0.0, reports.searchJobs,
        reports.cardJobs, reports.failed, reports.errorResults, reports.trades, rows,
        cpuEnd - cpuStart, reports.cardsEnd ? reports.cardsEndCpu - reports.handOverCpu : 0.0,
        baselineRss, PeakRssKb(), timedStore ? timedStore->cpu.load() : 0.0);
    if (madeDir) {
        std::error_code ignored;
        std::filesystem::remove_all(*madeDir, ignored);
    }
    return 0;
}
