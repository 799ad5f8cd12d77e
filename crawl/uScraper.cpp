#include "crawl/uScraper.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <limits>
#include <set>
#include <thread>
#include <unordered_set>

#include "crawl/Collections.h"
#include "crawl/CrawlError.h"
#include "crawl/CrowdedDays.h"
#include "crawl/HarvestOutputs.h"
#include "crawl/InterruptedRun.h"
#include "crawl/PhaseLoop.h"
#include "crawl/RegisterAddresses.h"
#include "crawl/RegisterOutage.h"
#include "crawl/ResultsFile.h"
#include "crawl/SearchQueries.h"
#include "crawl/TradeCard.h"
#include "json/JsonValue.h"
#include "util/NewFile.h"
#include "util/Platform.h"
#include "util/uLib.h"

namespace korvalot::crawl {

struct TScraper::Shared {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool paused = false;
    bool cancelled = false;  // pauses no longer hold the crawl thread
    bool halted = false;     // the crawl thread waits at a pause point
    bool ended = false;
    std::atomic<bool> terminated{false};
    // When the current pause began, so that an error pause's end ends only a pause begun before.
    std::chrono::steady_clock::time_point pausedSince;
    // The end of the latest error pause; one that has passed is kept until the next error.
    std::optional<std::chrono::steady_clock::time_point> errorPauseEnd;
};

namespace {

// A register may report any total, up to the largest number there is; the sum stops there.
void AddCapped(std::int64_t& total, std::int64_t add) {
    if (add > 0 && total > std::numeric_limits<std::int64_t>::max() - add)
        total = std::numeric_limits<std::int64_t>::max();
    else
        total += add;
}

// Without blanks and control characters at either end.
std::string Trimmed(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32)
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32)
        text.remove_suffix(1);
    return std::string(text);
}

// A guid that would break out of its place: a control character splits guids.txt's lines and
// could forge request headers, and a double quote would end the results file's first field. The
// card's address escapes whatever else a guid holds, so it asks for that trade or for nothing.
bool IsUnsafeGuid(std::string_view guid) {
    for (const char c : guid) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127 || c == '"')
            return true;
    }
    return false;
}

// The card phase's jobs: the listed guids, taken out of the list.
std::deque<Job> TakeTradeJobs(std::deque<std::string>& guids) {
    std::deque<Job> jobs;
    for (std::string& guid : guids)
        jobs.push_back(Job::Trade(std::move(guid)));
    guids.clear();
    return jobs;
}

// Added to the line of a search job lost for this run.
std::string LostQueryNote(const SearchQuery& query) {
    return query.FirstPage() ? "; его страницы и части в этом запуске потеряны"
                             : "; эта страница в этом запуске потеряна";
}

// The guid as a log line may show it: control characters as "?".
std::string Printable(std::string_view guid) {
    std::string out(guid);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127)
            c = '?';
    }
    return out;
}

// Where the run keeps its files: the folder it was given, else the program's data folder.
std::filesystem::path FilesDirectory(const ScraperEnvironment& env) {
    return env.executableDir.empty() ? util::DataDirectory() : env.executableDir;
}

std::filesystem::path SkipFilePath(const ScraperEnvironment& env) {
    return env.skipFile.empty() ? FilesDirectory(env) / "skip.txt" : env.skipFile;
}

}  // namespace

// The body of one run: its collections and its two phases, on the crawl thread.
class TScraper::Run {
public:
    explicit Run(TScraper& owner) : o_(owner), env_(owner.environment_) {}

    void Execute(const std::string& mutexName);

private:
    void Log(std::string text) {
        o_.LogMessageText = std::move(text);
        o_.ShowLogMessage();
    }
    void Steps();
    bool SearchPhase();
    void CardPhase();
    PhaseLoop Loop();
    void HandleSearchAnswer(const Job& job, const json::JsonValue& doc);
    void LogCrowdedDays();
    void SaveGuids();
    void HandleCard(const std::string& guid, Answers& answers, ResultsFile& file);
    void ListRefreshTrades();
    void ResultsFileFailed(const ResultsFileError& e, const std::vector<std::string>& listed);
    void LogUndone(std::deque<Job>& queue, bool search);
    void NameTradesNotFetched(std::deque<Job>& trades);
    void LoadSkipList();
    void FinishInterruptedRun();
    std::shared_ptr<TradeSink> OpenTradeSink();
    void StartMark(const ResultsFile& file);
    void MarkTrade(const std::string& guid, const ResultsFile& file, bool record);
    void EndMark();
    void LogSummary();

    TScraper& o_;
    const ScraperEnvironment& env_;
    const RegisterAddresses addresses_{o_.registerBaseUrl_};
    std::shared_ptr<std::mutex> workerListLock_ = std::make_shared<std::mutex>();
    RunCollections c_;
    RunInputs inputs_;
    std::optional<HarvestOutputs> outputs_;  // skip.txt records and the workbook
    // An incremental card phase's mark (InterruptedRun.h). None when skip.txt could not be read
    // or another run's mark stays; its trade lines stop at the first that cannot be added.
    bool keepMark_ = false;
    std::optional<RunMark> mark_;
    bool markLinesLost_ = false;
    // The trade sink, opened once: for an interrupted run's bookkeeping, or when the card phase
    // begins. A failure to open it is kept and raised again where the card phase opens it.
    bool tradeSinkOpened_ = false;
    std::shared_ptr<TradeSink> tradeSink_;
    std::exception_ptr tradeSinkFailure_;
    // The card phase's trades skipped, written or given up, so that a phase cut short names the
    // others.
    std::unordered_set<std::string> cardsAccounted_;
    // The selection's own queries, whose totals the register reported for the whole selection.
    std::set<SearchQuery> firstQueries_;
    CrowdedDays crowded_;
    RunSummary s_;
    // The latest address the register answered, so that a phase that begins in an outage
    // probes an address known to answer.
    std::string answeredAddress_;
};

void TScraper::Run::Execute(const std::string& mutexName) {
    const auto started = std::chrono::steady_clock::now();
    o_.CursorHourGlass = true;
    o_.UpdateRunUi();
    s_.end = RunSummary::End::Finished;
    // Held until the run has given the window back. One that cannot be had ends the run as any
    // other failure does: the reason in the log and the controls enabled again.
    std::optional<util::NamedMutex> mutex;
    try {
        mutex.emplace(mutexName);
        Steps();
    } catch (const std::exception& e) {
        // Without its named object the run never began its work.
        s_.end = mutex ? RunSummary::End::Failed : RunSummary::End::NotStarted;
        // Failures outside the phases end the run; the operator still learns why.
        try {
            Log(std::string("Ошибка: ") + e.what());
        } catch (...) {
        }
    }
    s_.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    s_.retriedAttempts = o_.retries_->retried.load();
    {
        std::lock_guard lock(o_.shared_->mutex);
        o_.summary_ = s_;
    }
    try {
        if (s_.end != RunSummary::End::NotStarted) {
            LogSummary();
            o_.ReportEvent(RunSummarised{s_});
        }
    } catch (...) {
        // The summary repeats what the run has logged already; a window that cannot show it
        // must not keep the run from its end.
    }
    c_ = RunCollections{};
    o_.CursorHourGlass = false;
    o_.UpdateRunUi();
}

void TScraper::Run::LogSummary() {
    const char* end = "работа завершена";
    if (s_.end == RunSummary::End::Stopped) {
        end = "работа остановлена";
    } else if (s_.end == RunSummary::End::Failed) {
        end = "работа прервана ошибкой";
    } else if (s_.skipFileFailed) {
        end = "работа прервана: skip.txt не дописать";
    } else if (s_.resultsFileFailed) {
        end = "работа прервана: файл результатов не записать";
    } else if (s_.storeLost) {
        end = "работа прервана: хранилище не записать";
    } else if (s_.registerLost) {
        end = "работа прервана: реестр не отвечает";
    } else if (s_.phaseErrors) {
        end = "работа завершена после ошибок";
    }
    Log(std::string("Итоги: ") + end);
    Log("Поисковых запросов: " + std::to_string(s_.queriesAsked) +
        ", не удалось: " + std::to_string(s_.searchJobsFailed) + "; реестр сообщил о торгах: " +
        std::to_string(s_.tradesReported) + "; найдено торгов: " + std::to_string(s_.tradesFound) +
        "; пропущено по skip.txt: " + std::to_string(s_.skipped));
    Log("Карточек получено: " + std::to_string(s_.cardsFetched) + ", не удалось получить: " +
        std::to_string(s_.tradeJobsFailed) + "; строк записано: " + std::to_string(s_.rowsWritten) +
        "; торгов не достать ни одним запросом: " + std::to_string(s_.unreachable) +
        (s_.tradesNotTried > 0 ? "; не опрошено: " + std::to_string(s_.tradesNotTried) : "") +
        (s_.cardsIncomplete > 0
             ? "; карточек с неполными данными: " + std::to_string(s_.cardsIncomplete)
             : "") +
        (s_.tradesTakenBack > 0 ? std::string("; убрано из файла (нет в ") +
                                      (s_.storeLost ? "хранилище" : "skip.txt") +
                                      "): " + std::to_string(s_.tradesTakenBack)
                                : ""));
    if (s_.retriedAttempts > 0)
        Log("Повторных попыток запросов после сбоев: " + std::to_string(s_.retriedAttempts));
    Log("Время работы: " + DurationText(s_.elapsed));
}

void TScraper::Run::Steps() {
    inputs_ = o_.ReadRunInputs();
    if (!env_.refreshTrades)  // a refresh fetches its trades whatever skip.txt says
        LoadSkipList();
    keepMark_ = keepMark_ && env_.recordHarvested && !env_.refreshTrades;
    Log("Начинаем работу...");
    // Before any request: the trades a killed run wrote are named, or cut off to be fetched again.
    if (keepMark_)
        FinishInterruptedRun();

    using namespace std::chrono;
    const year_month_day from =
        inputs_.dateFrom ? *inputs_.dateFrom : year_month_day{year{2010}, January, day{1}};
    const year_month_day to = inputs_.dateTo ? *inputs_.dateTo
                              : env_.today   ? env_.today()
                                             : util::LocalToday();
    FirstQueries first =
        BuildFirstQueries(inputs_.regionItems, inputs_.tradeTypePositions, from, to);
    for (auto& query : first.queries) {
        firstQueries_.insert(query);
        c_.JobQueue.push_back(Job::Search(std::move(query), o_.registerBaseUrl_));
    }
    for (auto& [code, name] : first.regions)
        c_.RegionNameList.Add(code, name);

    o_.firmscounter = 0;
    o_.ShowFoundCount();

    if (env_.refreshTrades)
        ListRefreshTrades();
    else if (!SearchPhase())
        return;
    s_.tradesFound = static_cast<std::int64_t>(c_.NewGuidList.size());

    o_.ProgressBarPosition = 0;
    o_.ShowProgress();
    Log("Найдено торгов: " + std::to_string(c_.NewGuidList.size()));
    SaveGuids();
    if (c_.NewGuidList.empty())
        return;
    // A register that did not come back within the limit would only be waited for once more.
    if (s_.registerLost) {
        std::deque<Job> trades = TakeTradeJobs(c_.NewGuidList);
        NameTradesNotFetched(trades);
        return;
    }
    CardPhase();
}

// A refresh's trades take the place of the search phase's list. Their region names stand in for
// region codes as the keys that lead from a guid to its region name.
void TScraper::Run::ListRefreshTrades() {
    for (const TradeToRefresh& trade : *env_.refreshTrades) {
        if (!c_.SeenList.insert(trade.guid).second)
            continue;
        c_.NewGuidList.push_back(trade.guid);
        c_.GuidRegionList.Add(trade.guid, trade.regionName);
        c_.RegionNameList.Add(trade.regionName, trade.regionName);
    }
    o_.firmscounter = static_cast<std::int32_t>(c_.NewGuidList.size());
    o_.ShowFoundCount();
}

// Nothing reads guids.txt back, so a file that cannot be written costs that file, not the
// harvest.
void TScraper::Run::SaveGuids() {
    o_.WaitWhilePaused();
    const std::filesystem::path path =
        env_.guidsFile.empty() ? std::filesystem::path("guids.txt") : env_.guidsFile;
    try {
        util::WriteListFile(path, c_.NewGuidList);
        s_.guidsFile = path;
    } catch (const std::exception& e) {
        Log("Не удалось записать " + path.string() + ", продолжаем без него: " + e.what());
    }
}

void TScraper::Run::LoadSkipList() {
    const std::filesystem::path path = SkipFilePath(env_);
    std::error_code error;
    keepMark_ = true;
    if (!std::filesystem::exists(path, error))
        return;
    try {
        for (auto& line : util::ReadListFile(path))
            c_.SkipList.insert(std::move(line));
    } catch (const util::PlatformError& e) {
        c_.SkipList.clear();
        keepMark_ = false;
        Log(std::string("Не удалось прочитать skip.txt, пропускаем его: ") + e.what());
    }
}

PhaseLoop TScraper::Run::Loop() {
    const fetch::WorkerSettings settings{
        .referer = addresses_.Referer(),
        .transport = env_.transport,
        .retryPause = env_.timings.retryPause,
        .retryAfterCap = env_.timings.retryAfterCap,
        .retries = o_.retries_,
        .tradeAddresses =
            [addresses = addresses_](const std::string& guid) { return addresses.Trade(guid); },
        .startThread = env_.startThread};
    PhaseHost host;
    host.stopRequested = [this] { return o_.Terminated(); };
    host.waitWhilePaused = [this] { o_.WaitWhilePaused(); };
    host.progress = [this](const PhaseProgress& progress) {
        const auto capped = [](std::int64_t n) {
            return static_cast<std::int32_t>(
                std::min<std::int64_t>(n, std::numeric_limits<std::int32_t>::max()));
        };
        o_.ProgressBarPosition = capped(progress.done);
        o_.ProgressBarMax = capped(progress.total);
        o_.ShowProgress();
    };
    host.log = [this](std::string text) { Log(std::move(text)); };
    host.wake = o_.wake_;
    host.jobFinished = [this](const JobFinished& event) { o_.ReportEvent(event); };
    host.reportError = [this](const std::string& message) {
        o_.result = RunResult::Failure(message);
        o_.HandleRunResult();
    };
    host.registerWait = [this](const RegisterWait& wait) {
        o_.WaitingForRegister = wait;
        o_.ShowRegisterWait();
    };
    OutageSettings outage;
    outage.firstProbe = env_.timings.probeFirst;
    outage.probeCap = env_.timings.probeCap;
    outage.limit = env_.outageLimit;
    return PhaseLoop(
        workerListLock_,
        PhaseSettings{settings, o_.Limit, env_.timings.pacing, outage, answeredAddress_},
        std::move(host), o_.workers_);
}

bool TScraper::Run::SearchPhase() {
    o_.ProgressBarPosition = 0;
    o_.ProgressBarMax = static_cast<std::int32_t>(c_.JobQueue.size());
    o_.ReportEvent(PhaseStarted{RunPhase::Search, static_cast<std::int64_t>(c_.JobQueue.size())});
    PhaseJobs jobs;
    jobs.phase = RunPhase::Search;
    jobs.filter = [this](Job&) {
        ++s_.queriesAsked;
        return true;
    };
    jobs.handler = [this](const Job& job, Answers& answers) {
        HandleSearchAnswer(job, answers.html);
    };
    jobs.lostNote = [](const Job& job) -> std::string { return LostQueryNote(*job.query); };
    jobs.givenUp = [this](const Job& job) {
        ++s_.searchJobsFailed;
        crowded_.Lost(*job.query);
    };
    PhaseLoop loop = Loop();
    const PhaseEnd end = loop.Run(c_.JobQueue, jobs);
    answeredAddress_ = loop.LastAnswered();
    const auto ended = [&] {
        o_.ReportEvent(PhaseEnded{RunPhase::Search, end, s_.queriesAsked - s_.searchJobsFailed,
                                  s_.searchJobsFailed});
    };
    if (end == PhaseEnd::Stopped) {
        s_.end = RunSummary::End::Stopped;
        ended();
        return false;
    }
    if (end == PhaseEnd::Failed) {
        s_.phaseErrors = true;
        LogUndone(c_.JobQueue, true);
    }
    if (end == PhaseEnd::RegisterLost) {
        s_.registerLost = true;
        for (const Job& job : c_.JobQueue) {
            Log(job.Text() + ": не выполнен, реестр не отвечает" + jobs.lostNote(job));
            jobs.givenUp(job);
            o_.ReportEvent(JobFinished{RunPhase::Search, job.Text(), JobFate::NotDone, {}});
        }
        c_.JobQueue.clear();
    }
    LogCrowdedDays();
    if (end == PhaseEnd::Failed) {
        // The pages a failed phase never asked for hold trades the register reported.
        const auto seen = static_cast<std::int64_t>(c_.SeenList.size());
        const std::int64_t missing = s_.tradesReported - seen - s_.unreachable;
        if (missing > 0) {
            Log("Реестр сообщил о " + std::to_string(s_.tradesReported) + " торгах, найдено " +
                std::to_string(seen) + "; не достать в этом запуске: " + std::to_string(missing));
            AddCapped(s_.unreachable, missing);
        }
    }
    ended();
    return true;
}

// A failed phase leaves in its queue what it did not do: each is named and counted, so that the
// summary does not pass them over.
void TScraper::Run::LogUndone(std::deque<Job>& queue, bool search) {
    const std::string skipPrefix = addresses_.CardLinkPrefix();
    for (const Job& entry : queue) {
        if (search) {
            Log("Запрос не выполнен: " + entry.Text() + LostQueryNote(*entry.query));
            ++s_.searchJobsFailed;
            crowded_.Lost(*entry.query);
            o_.ReportEvent(JobFinished{RunPhase::Search, entry.Text(), JobFate::NotDone, {}});
            continue;
        }
        const std::string job = Trimmed(entry.Text());
        if (job.empty())
            continue;
        if (!c_.SkipList.contains(skipPrefix + job)) {
            Log("Карточка " + job + ": не запрошена, сбор карточек прерван ошибкой");
            ++s_.tradesNotTried;
            o_.ReportEvent(JobFinished{RunPhase::Cards, job, JobFate::NotDone, {}});
        }
    }
    queue.clear();
}

void TScraper::Run::HandleSearchAnswer(const Job& job, const json::JsonValue& doc) {
    const SearchQuery& query = *job.query;
    const bool firstPage = query.FirstPage();
    std::int64_t found = 0;
    SplitDecision split;
    if (firstPage) {
        const std::string foundText = doc.MemberText("found");
        Log(job.Text() + "\r\nНашлось " + foundText + " торгов");
        found = ReadFoundCount(foundText);
        split = DecideSplit(query, found);
        const bool parts =
            split.kind == SplitDecision::Kind::ByDate || split.kind == SplitDecision::Kind::ByPrice;
        // A whole day cut by price keeps its own pages: a trade whose lots have no start
        // price matches no price range and is found on them or nowhere. Its price parts
        // hold nothing that their day's pages could add.
        if (parts && !KeepsOwnPages(query)) {
            Log("Разбиваем длинный интервал на несколько мелких, с текущей ссылки торги не "
                "собираем.");
            for (auto& part : split.parts)
                c_.JobQueue.push_front(Job::Search(std::move(part), o_.registerBaseUrl_));
            if (firstQueries_.contains(query))
                AddCapped(s_.tradesReported, found);
            return;
        }
    }
    // Read the whole page before anything changes, so that an answer that fails can be tried
    // again without leaving half its effects behind.
    const json::JsonValue page = doc.Member("pageData").AsArray();
    const std::size_t count = page.Length();
    std::vector<std::string> guids;
    guids.reserve(count);
    // Trimmed as the card phase trims, so that " x " and "x" are one trade, fetched once.
    std::vector<std::string> refused;
    for (std::size_t k = 0; k < count; ++k) {
        std::string guid = Trimmed(page.Element(k).MemberText("guid"));
        if (IsUnsafeGuid(guid))
            refused.push_back(std::move(guid));
        else
            guids.push_back(std::move(guid));
    }

    if (found >= kSplitThreshold) {
        crowded_.Cut(query, found);
        if (split.kind != SplitDecision::Kind::CannotNarrow) {
            Log("Разбиваем длинный интервал на несколько мелких по цене лота, с текущей ссылки "
                "собираем первые " +
                std::to_string(kSplitThreshold) + " торгов.");
            for (auto& part : split.parts)
                c_.JobQueue.push_front(Job::Search(std::move(part), o_.registerBaseUrl_));
        } else {
            Log("Интервал больше не сужается: реестр сообщает о " + std::to_string(found) +
                " торгах, больше, чем даёт пролистать; по этой ссылке собрано может быть не всё: " +
                job.Text());
        }
    }
    for (const auto& guid : refused)
        Log("Торги с недопустимым идентификатором пропускаем: " + Printable(guid));

    if (firstPage) {
        if (firstQueries_.contains(query))
            AddCapped(s_.tradesReported, found);
        // The register pages no further than its limit, however many it reports.
        for (auto& next : FurtherPages(query, std::min(found, kSplitThreshold)))
            c_.JobQueue.push_back(Job::Search(std::move(next), o_.registerBaseUrl_));
    }
    // Refused guids were reached and logged; only the ones no page showed are unaccounted for.
    crowded_.Reached(query, guids);
    crowded_.Reached(query, refused);
    const std::size_t added = CollectNewGuids(c_, std::move(guids), query.regionCode);
    Log("Найдено " + std::to_string(added) + " новых торгов на странице");
    o_.firmscounter = static_cast<std::int32_t>(c_.NewGuidList.size());
    o_.ShowFoundCount();
}

void TScraper::Run::LogCrowdedDays() {
    for (const auto& day : crowded_.Shortfalls()) {
        const std::string& name = c_.RegionNameList.Lookup(day.regionCode);
        const std::string region =
            name.empty() ? day.regionCode : name + " (" + day.regionCode + ")";
        std::string line = region + ", " + TradeTypeName(day.tradeType) + ", " + day.day +
                           ": реестр сообщает о " + std::to_string(day.reported) +
                           " торгах, собрано " + std::to_string(day.reached) +
                           "; ни одним запросом не достать: " + std::to_string(day.Missing());
        if (day.lostJobs > 0)
            line += " (среди них и торги неудавшихся запросов этого дня)";
        Log(std::move(line));
        AddCapped(s_.unreachable, day.Missing());
        o_.ReportEvent(CrowdedDayAccounted{day});
    }
}

void TScraper::Run::CardPhase() {
    const std::filesystem::path dir = FilesDirectory(env_);
    std::filesystem::path path;
    if (!env_.fileStem.empty()) {
        path = dir / ("data-" + env_.fileStem + ".csv");
    } else {
        // A name an earlier run took (the tick count repeats after a reboot) is never reused, for
        // the workbook beside it neither.
        const std::int32_t tick = env_.tickCount ? env_.tickCount() : util::TickCount();
        const std::string stem =
            util::FreeStem(dir, std::to_string(tick), {{"data", ".csv"}, {"data", ".xlsx"}});
        path = dir / ("data" + stem + ".csv");
    }
    Log("Данные будут записываться в файл " + path.string());

    std::optional<ResultsFile> file;
    PhaseEnd end = PhaseEnd::Failed;
    std::deque<Job> cards;
    // The loop consumes the list, so the trades never tried are found against a copy.
    const std::vector<std::string> listedGuids(c_.NewGuidList.begin(), c_.NewGuidList.end());
    const auto listed = static_cast<std::int64_t>(listedGuids.size());
    o_.ReportEvent(PhaseStarted{RunPhase::Cards, listed});
    try {
        o_.WaitWhilePaused();
        file.emplace(path, o_.registerBaseUrl_);
    } catch (const ResultsFileError& e) {
        // Nothing could be written, so a pause would retry nothing: the phase ends here.
        ResultsFileFailed(e, listedGuids);
    }
    if (file && file->Path() != path) {
        // Taken between the choice and the creation: the file went to the next free name.
        path = file->Path();
        Log("Данные будут записываться в файл " + path.string());
    }
    if (file) {
        s_.resultsFile = path;
        // Harvest outputs: skip.txt records and the workbook start with the results file.
        outputs_.emplace(
            HarvestOutputOptions{env_.recordHarvested, env_.writeWorkbook, SkipFilePath(env_),
                                 o_.registerBaseUrl_, inputs_.regional.decimalSeparator,
                                 env_.openTradeSink ? [this] { return OpenTradeSink(); }
                                                    : std::function<std::shared_ptr<TradeSink>()>(),
                                 inputs_.regionItems},
            [this](std::string text) { Log(std::move(text)); });
        o_.ProgressBarPosition = 0;
        o_.ProgressBarMax = static_cast<std::int32_t>(c_.NewGuidList.size());
        const std::string skipPrefix = addresses_.CardLinkPrefix();
        PhaseJobs jobs;
        jobs.phase = RunPhase::Cards;
        jobs.logPrefix = "Карточка ";
        jobs.filter = [&](Job& job) {
            job.work.text = Trimmed(job.Text());
            if (job.Text().empty())
                return false;
            if (c_.SkipList.contains(skipPrefix + job.Text())) {
                ++s_.skipped;
                cardsAccounted_.insert(job.Text());
                return false;
            }
            s_.cardsStarted = true;
            return true;
        };
        jobs.handler = [&](const Job& job, Answers& answers) {
            HandleCard(job.Text(), answers, *file);
        };
        jobs.givenUp = [this](const Job& job) {
            ++s_.tradeJobsFailed;
            cardsAccounted_.insert(job.Text());
        };
        cards = TakeTradeJobs(c_.NewGuidList);
        try {
            outputs_->Begin(*file);
            StartMark(*file);
            end = Loop().Run(cards, jobs);
            if (end == PhaseEnd::Failed)
                LogUndone(cards, false);
            // skip.txt gets its last lines before the phase reports its end, so that a failure
            // there is not preceded by "ok".
            outputs_->FinishRecording(s_);
        } catch (const ResultsFileError& e) {
            ResultsFileFailed(e, listedGuids);
            try {
                outputs_->FinishRecording(s_);
            } catch (const ResultsFileError&) {
                // Already reported: skip.txt names no trade the file does not hold.
            }
        }
        s_.tradesTakenBack = outputs_->TradesTakenBack();
        s_.rowsWritten -= outputs_->RowsTakenBack();
        if (s_.tradesTakenBack > 0) {
            Log(std::string("Из файла результатов убраны строки торгов, которых нет в ") +
                (s_.storeLost ? "хранилище" : "skip.txt") + ": " +
                std::to_string(s_.tradesTakenBack) + "; следующий запуск соберёт их снова");
        }
        if (s_.storeLost) {
            Log("Хранилище " + s_.storeFile.string() +
                " сохранило торгов до сбоя: " + std::to_string(s_.tradesStored));
        }
    }
    if (s_.OutputFailed())
        end = PhaseEnd::Done;
    if (end == PhaseEnd::Failed)
        s_.phaseErrors = true;
    if (end == PhaseEnd::Stopped)
        s_.end = RunSummary::End::Stopped;
    if (end == PhaseEnd::RegisterLost) {
        s_.registerLost = true;
        NameTradesNotFetched(cards);
    }
    o_.ReportEvent(PhaseEnded{RunPhase::Cards, end, s_.cardsFetched, s_.tradeJobsFailed});
    if (end != PhaseEnd::Stopped && end != PhaseEnd::RegisterLost && !s_.OutputFailed()) {
        o_.result = RunResult::Success();
        o_.HandleRunResult();
    }
    if (!file)
        return;
    try {
        file->Close();
    } catch (const ResultsFileError& e) {
        s_.resultsFileFailed = true;
        Log(std::string("Ошибка: ") + e.what());
    }
    EndMark();
    // Harvest outputs: the workbook is finished and, when written, opened instead.
    const std::filesystem::path document = outputs_->Finish(path, s_);
    if (document != path)
        s_.workbookFile = document;
    if (env_.openResults)
        Log("Открываем файл с результатами");
    // A program that ends under its run has nobody left to show the file to.
    if (env_.openResults && !o_.Cancelled()) {
        if (env_.openDocument)
            env_.openDocument(document);
        else
            util::OpenWithDesktop(document);
    }
    o_.ProgressBarPosition = 0;
    o_.ShowProgress();
}

// What the card phase records in failed: the phase ends at once, and every listed trade it did
// not skip, write or give up is named and counted, as an outage names the trades it cost.
void TScraper::Run::ResultsFileFailed(const ResultsFileError& e,
                                      const std::vector<std::string>& listed) {
    s_.end = RunSummary::End::CutShort;
    std::string failed;
    if (dynamic_cast<const SkipFileError*>(&e) != nullptr) {
        s_.skipFileFailed = true;
        failed = "Ошибка записи skip.txt (";
    } else if (dynamic_cast<const TradeSinkError*>(&e) != nullptr) {
        s_.storeLost = true;
        failed = "Ошибка записи в хранилище (";
    } else {
        s_.resultsFileFailed = true;
        failed = "Ошибка записи файла результатов (";
    }
    const std::string skipPrefix = addresses_.CardLinkPrefix();
    std::vector<std::string> notTried;
    for (const std::string& entry : listed) {
        std::string guid = Trimmed(entry);
        if (guid.empty() || cardsAccounted_.contains(guid))
            continue;
        if (c_.SkipList.contains(skipPrefix + guid)) {
            ++s_.skipped;
            continue;
        }
        notTried.push_back(std::move(guid));
    }
    for (const std::string& guid : notTried) {
        Log("Карточка " + Printable(guid) + ": не получена, сбор карточек прекращён");
        o_.ReportEvent(JobFinished{RunPhase::Cards, guid, JobFate::NotDone, {}});
    }
    // After the trades' lines, so that it is among the closing lines the console shows.
    s_.tradesNotTried = static_cast<std::int64_t>(notTried.size());
    Log(failed + e.what() + "), сбор карточек прекращён; торгов не опрошено: " +
        std::to_string(s_.tradesNotTried));
}

// Every trade of the list is named and counted as failed, but for those skip.txt leaves out.
void TScraper::Run::NameTradesNotFetched(std::deque<Job>& trades) {
    const std::string skipPrefix = addresses_.CardLinkPrefix();
    std::int64_t named = 0;
    for (const Job& entry : trades) {
        const std::string guid = Trimmed(entry.Text());
        if (guid.empty())
            continue;
        if (c_.SkipList.contains(skipPrefix + guid)) {
            ++s_.skipped;
            continue;
        }
        Log("Карточка " + Printable(guid) + ": не получена, реестр не отвечает");
        ++s_.tradeJobsFailed;
        o_.ReportEvent(JobFinished{RunPhase::Cards, guid, JobFate::NotDone, {}});
        ++named;
    }
    trades.clear();
    Log("Торгов не получено из-за недоступности реестра: " + std::to_string(named));
}

void TScraper::Run::HandleCard(const std::string& guid, Answers& answers, ResultsFile& file) {
    const std::string& region = c_.RegionNameList.Lookup(c_.GuidRegionList.Lookup(guid));
    const CardDocuments card{std::move(answers.html), std::move(answers.lotPages),
                             std::move(answers.html3)};
    const CardRows rows = ExtractCard(guid, region, card, inputs_.regional.decimalSeparator);
    for (const auto& message : rows.dateErrors)
        Log("Карточка " + guid + ": " + message);
    o_.WaitWhilePaused();
    file.WriteTrade(rows.rows);
    // From here on the trade is written: whatever fails, it is not fetched again in this run.
    answers.handled = true;
    MarkTrade(guid, file, rows.missing.empty());
    // Counted once written: a trade whose rows could not be written is one never tried.
    ++s_.cardsFetched;
    cardsAccounted_.insert(guid);
    s_.rowsWritten += static_cast<std::int64_t>(rows.rows.size());
    if (!rows.missing.empty())
        ++s_.cardsIncomplete;
    // Harvest outputs: every row of the trade is in the results file. Before the log line, so
    // that a report that fails cannot keep a written trade out of skip.txt.
    outputs_->TradeWritten(guid, region, card.trade, rows.rows, rows.missing.empty());
    if (!rows.missing.empty())
        Log(IncompleteCardLine(guid, rows.missing));
}

// The bookkeeping of an incremental run that was killed is completed, or this run learns that
// the mark beside skip.txt is not its to touch and keeps none of its own.
void TScraper::Run::FinishInterruptedRun() {
    const InterruptedRunPlace place{
        FilesDirectory(env_), SkipFilePath(env_),
        env_.openTradeSink ? [this] { return OpenTradeSink(); }
                           : std::function<std::shared_ptr<TradeSink>()>()};
    o_.WaitWhilePaused();
    InterruptedRun run;
    try {
        run = CompleteInterruptedRun(place, c_.SkipList);
    } catch (const CrawlError& e) {
        // Harvesting now would write again what the killed run wrote.
        throw CrawlError(std::string("учёт прерванного запуска не завершён, сбор не начинаем: ") +
                         e.what());
    }
    switch (run.found) {
        case InterruptedRun::Found::None:
            return;
        case InterruptedRun::Found::Busy:
            keepMark_ = false;
            Log("Метка " + run.mark.string() +
                " принадлежит запуску, который ещё идёт; её не трогаем, свою метку не ведём");
            return;
        case InterruptedRun::Found::Elsewhere:
            keepMark_ = false;
            Log("Метка " + run.mark.string() + " оставлена запуском в папку " +
                run.folder.string() + "; её не трогаем, свою метку не ведём");
            return;
        case InterruptedRun::Found::Unreadable:
            Log("Метка " + run.mark.string() + " не читается и удалена");
            return;
        case InterruptedRun::Found::Completed:
            break;
    }
    std::string line = "Учёт прерванного запуска завершён, файл " + run.resultsFile.string() +
                       ": отмечено в skip.txt торгов: " + std::to_string(run.named) +
                       "; убрано из файла строк: " + std::to_string(run.rowsCut);
    if (run.halfTradeCut)
        line += ", с недописанным торгом";
    if (run.tradesCut > 0) {
        line += ", целых торгов: " + std::to_string(run.tradesCut) +
                " (нет в хранилище: " + std::to_string(run.notStored) + ")";
    }
    if (!run.storeUnasked.empty())
        line += "; хранилище не спросить (" + run.storeUnasked + "), его торги соберём заново";
    Log(std::move(line));
}

std::shared_ptr<TradeSink> TScraper::Run::OpenTradeSink() {
    if (!tradeSinkOpened_) {
        tradeSinkOpened_ = true;
        try {
            tradeSink_ = env_.openTradeSink();
        } catch (...) {
            tradeSinkFailure_ = std::current_exception();
        }
    }
    if (tradeSinkFailure_)
        std::rethrow_exception(tradeSinkFailure_);
    return tradeSink_;
}

void TScraper::Run::StartMark(const ResultsFile& file) {
    if (!keepMark_)
        return;
    const auto absolute = [](const std::filesystem::path& path) {
        std::error_code ignored;
        const std::filesystem::path made = std::filesystem::absolute(path, ignored);
        return ignored ? path : made;
    };
    RunMarkHead head{absolute(file.Path()), absolute(FilesDirectory(env_)),
                     absolute(SkipFilePath(env_)), addresses_.CardLinkPrefix(), file.Size(), {}};
    if (tradeSink_)
        head.store = tradeSink_->RunKey();
    try {
        mark_.emplace(RunMark::PathBeside(SkipFilePath(env_)), head);
    } catch (const CrawlError& e) {
        Log(std::string("Ошибка: ") + e.what() + "; метку прерванного запуска не ведём");
    }
}

void TScraper::Run::MarkTrade(const std::string& guid, const ResultsFile& file, bool record) {
    if (!mark_ || markLinesLost_)
        return;
    try {
        mark_->TradeWritten(guid, file.LastTradeStart(), file.Size(), record);
    } catch (const CrawlError& e) {
        // Without the line, a rerun after a kill fetches this trade and those after it again.
        markLinesLost_ = true;
        Log(std::string("Ошибка: ") + e.what() +
            "; после сбоя следующий запуск соберёт торги с этого заново");
    }
}

// Once the results file is closed and skip.txt has its last lines, nothing is left to complete.
void TScraper::Run::EndMark() {
    if (!mark_)
        return;
    try {
        mark_->Remove();
    } catch (const CrawlError& e) {
        Log(std::string("Ошибка: ") + e.what());
    }
    mark_.reset();
}

std::shared_ptr<TScraper> TScraper::Create(ScraperReports& reports, std::string registerBaseUrl,
                                           ScraperEnvironment environment) {
    return std::shared_ptr<TScraper>(
        new TScraper(reports, std::move(registerBaseUrl), std::move(environment)));
}

TScraper::TScraper(ScraperReports& reports, std::string registerBaseUrl,
                   ScraperEnvironment environment)
    : reports_(reports),
      registerBaseUrl_(std::move(registerBaseUrl)),
      environment_(std::move(environment)),
      shared_(std::make_shared<Shared>()) {}

TScraper::~TScraper() {
    Cancel();
    std::lock_guard lock(threadMutex_);
    if (thread_.joinable())
        thread_.join();
    // The worker owner, when this was its last holder, joins the workers.
}

bool TScraper::Start() {
    if (started_.exchange(true))
        return true;
    const auto markEnded = [shared = shared_] {
        {
            std::lock_guard lock(shared->mutex);
            shared->ended = true;
        }
        shared->changed.notify_all();
    };
    std::lock_guard lock(threadMutex_);
    try {
        thread_ = util::StartThread(environment_.startThread, [this, markEnded] {
            try {
                Body();
            } catch (...) {
                // A run ends quietly only when a report of its first or last step fails; there
                // is nobody left to tell.
            }
            markEnded();
        });
    } catch (const std::exception&) {
        // A run marked started whose thread never came would stay live for ever, and whoever
        // waits for its end (the window's end, the console) would wait with it.
        markEnded();
        return false;
    }
    return true;
}

bool TScraper::Cancelled() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->cancelled;
}

void TScraper::Cancel() {
    {
        // At once, so that whatever the crawl thread does next knows all three.
        std::lock_guard lock(shared_->mutex);
        shared_->cancelled = true;
        shared_->terminated.store(true);
        shared_->paused = false;
    }
    shared_->changed.notify_all();
    wake_->Notify();
    workers_->Cancel();
}

bool TScraper::Join(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (started_.load() && !WaitUntilEnded(timeout))
        return false;
    {
        std::lock_guard lock(threadMutex_);
        if (thread_.joinable())
            thread_.join();
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return workers_->WaitAll(std::max(left, std::chrono::milliseconds::zero()));
}

void TScraper::Body() {
    Run run(*this);
    run.Execute(environment_.mutexName.empty() ? "Global\\KorvalotMutex" : environment_.mutexName);
}

void TScraper::Pause() {
    {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->paused)
            shared_->pausedSince = std::chrono::steady_clock::now();
        shared_->paused = true;
    }
    wake_->Notify();
}

void TScraper::Resume() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->paused = false;
    }
    shared_->changed.notify_all();
    wake_->Notify();
}

bool TScraper::IsPaused() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->paused;
}

void TScraper::Terminate() {
    {
        // A paused run must see the request now, not when its pause would have ended.
        std::lock_guard lock(shared_->mutex);
        shared_->terminated.store(true);
        shared_->paused = false;
    }
    shared_->changed.notify_all();
    wake_->Notify();
}

bool TScraper::Terminated() const {
    return shared_->terminated.load();
}

bool TScraper::IsLive() const {
    if (!started_.load())
        return false;
    std::lock_guard lock(shared_->mutex);
    return !shared_->ended;
}

std::int32_t TScraper::FailingRequests() const {
    return retries_->failing.load();
}

RunSummary TScraper::Summary() const {
    std::lock_guard lock(shared_->mutex);
    return summary_;
}

bool TScraper::WaitUntilEnded(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_for(lock, timeout, [&] { return shared_->ended; });
}

void TScraper::StartErrorPause() {
    std::chrono::steady_clock::time_point resumeAt;
    {
        std::lock_guard lock(shared_->mutex);
        // A stopped run winds down; a pause would only hold it up.
        if (shared_->terminated.load() || shared_->cancelled)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (!shared_->errorPauseEnd || *shared_->errorPauseEnd <= now)
            shared_->errorPauseEnd = now + environment_.timings.errorPause;
        resumeAt = *shared_->errorPauseEnd;
        if (!shared_->paused)
            shared_->pausedSince = now;
        shared_->paused = true;
    }
    // Straight to the reports: the wrapper would halt before it, as the run is paused now.
    reports_.ReportEvent(*this, ErrorPauseStarted{result.message, resumeAt});
}

void TScraper::WaitWhilePaused() {
    std::unique_lock lock(shared_->mutex);
    const auto free = [&] { return !shared_->paused || shared_->cancelled; };
    // The error pause's end ends the pause then in force, if it began no later than that end.
    const auto endsAt = [&]() -> std::optional<std::chrono::steady_clock::time_point> {
        if (!shared_->paused || !shared_->errorPauseEnd ||
            shared_->pausedSince > *shared_->errorPauseEnd)
            return std::nullopt;
        return shared_->errorPauseEnd;
    };
    while (!free()) {
        const auto end = endsAt();
        if (end && std::chrono::steady_clock::now() >= *end) {
            shared_->paused = false;
            shared_->halted = false;
            lock.unlock();
            shared_->changed.notify_all();
            // Not through a report wrapper, which would come back here. The report may pause
            // the run again; the loop looks once more.
            reports_.ReportEvent(*this, ErrorPauseEnded{});
            lock.lock();
            continue;
        }
        shared_->halted = true;
        shared_->changed.notify_all();
        if (end)
            shared_->changed.wait_until(lock, *end);
        else
            shared_->changed.wait(lock);
    }
    shared_->halted = false;
}

bool TScraper::WaitUntilHalted(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_for(lock, timeout, [&] { return shared_->halted; });
}

void TScraper::UpdateRunUi() {
    WaitWhilePaused();
    reports_.UpdateRunUi(*this);
    WaitWhilePaused();
}

void TScraper::ShowLogMessage() {
    WaitWhilePaused();
    reports_.ShowLogMessage(*this);
    WaitWhilePaused();
}

void TScraper::ShowProgress() {
    WaitWhilePaused();
    reports_.ShowProgress(*this);
    WaitWhilePaused();
}

void TScraper::ShowFoundCount() {
    WaitWhilePaused();
    reports_.ShowFoundCount(*this);
    WaitWhilePaused();
}

void TScraper::HandleRunResult() {
    WaitWhilePaused();
    reports_.HandleRunResult(*this);
    if (result.IsError())
        StartErrorPause();
    WaitWhilePaused();
}

void TScraper::ReportEvent(const RunEvent& event) {
    WaitWhilePaused();
    reports_.ReportEvent(*this, event);
    WaitWhilePaused();
}

void TScraper::ShowRegisterWait() {
    WaitWhilePaused();
    reports_.ShowRegisterWait(*this);
    WaitWhilePaused();
}

RunInputs TScraper::ReadRunInputs() {
    WaitWhilePaused();
    RunInputs inputs = reports_.ReadRunInputs(*this);
    WaitWhilePaused();
    return inputs;
}

std::string FormatLogDateTime(const std::string& format,
                              std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[128];
    const std::size_t n = std::strftime(text, sizeof text, format.c_str(), &local);
    return std::string(text, n);
}

}  // namespace korvalot::crawl
