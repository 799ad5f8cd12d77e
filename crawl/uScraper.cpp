#include "crawl/uScraper.h"

#include <ctime>
#include <exception>
#include <thread>
#include <unordered_set>

#include "crawl/Collections.h"
#include "crawl/CrawlError.h"
#include "crawl/HarvestOutputs.h"
#include "crawl/ResultsFile.h"
#include "crawl/SearchQueries.h"
#include "crawl/TradeCard.h"
#include "json/JsonValue.h"
#include "util/Platform.h"
#include "util/uLib.h"

namespace korvalot::crawl {

struct TScraper::Shared {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool paused = false;
    bool ended = false;
    std::atomic<bool> terminated{false};
};

namespace {

std::chrono::year_month_day LocalToday() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return std::chrono::year_month_day{std::chrono::year(local.tm_year + 1900),
                                       std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
                                       std::chrono::day(static_cast<unsigned>(local.tm_mday))};
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
// could forge request headers, a double quote would end the results file's first field, and a
// text holding "https" is taken for a search address and fetched as it stands.
bool IsUnsafeGuid(std::string_view guid) {
    for (const char c : guid) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127 || c == '"')
            return true;
    }
    return guid.find("https") != std::string_view::npos;
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

// The answer bodies of a collected worker, decoded.
struct Answers {
    std::string html;
    std::vector<std::string> lotPages;
    std::string html3;
};

enum class PhaseEnd { Done, Stopped, Failed };

std::filesystem::path SkipFilePath(const ScraperEnvironment& env) {
    if (!env.skipFile.empty())
        return env.skipFile;
    const std::filesystem::path dir =
        env.executableDir.empty() ? util::ExecutableDirectory() : env.executableDir;
    return dir / "skip.txt";
}

}  // namespace

// The body of one run: its collections and its two phases, on the crawl thread.
class TScraper::Run {
public:
    explicit Run(TScraper& owner) : o_(owner), env_(owner.environment_) {}

    void Execute();

private:
    using Filter = std::function<std::optional<std::string>(const std::string& job)>;
    using Handler = std::function<void(const std::string& job, Answers& answers)>;

    void Log(std::string text) {
        o_.LogMessageText = std::move(text);
        o_.ShowLogMessage();
    }
    void Steps();
    bool SearchPhase();
    void CardPhase();
    PhaseEnd RunPhase(std::deque<std::string>& queue, const Filter& filter, const Handler& handler,
                      std::string_view logPrefix);
    void HandleSearchAnswer(const std::string& job, const std::string& body);
    void HandleCard(const std::string& guid, Answers& answers, ResultsFile& file);
    void LoadSkipList();
    void Pace(std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); }

    TScraper& o_;
    const ScraperEnvironment& env_;
    std::shared_ptr<std::mutex> workerListLock_ = std::make_shared<std::mutex>();
    RunCollections c_;
    RunInputs inputs_;
    std::optional<HarvestOutputs> outputs_;  // skip.txt records and the workbook
};

void TScraper::Run::Execute() {
    o_.CursorHourGlass = true;
    o_.UpdateRunUi();
    try {
        Steps();
    } catch (const std::exception& e) {
        // Failures outside the phases end the run; the operator still learns why.
        try {
            Log(std::string("Ошибка: ") + e.what());
        } catch (...) {
        }
    }
    c_ = RunCollections{};
    o_.CursorHourGlass = false;
    o_.UpdateRunUi();
}

void TScraper::Run::Steps() {
    inputs_ = o_.ReadRunInputs();
    LoadSkipList();
    Log("Начинаем работу...");

    const std::string from =
        inputs_.dateFrom ? FormatIsoDate(*inputs_.dateFrom) : std::string("2010-01-01");
    const std::string to = FormatIsoDate(inputs_.dateTo ? *inputs_.dateTo
                                         : env_.today   ? env_.today()
                                                        : LocalToday());
    FirstQueries first = BuildFirstQueries(o_.registerBaseUrl_, inputs_.regionItems,
                                           inputs_.tradeTypePositions, from, to);
    for (auto& job : first.jobs)
        c_.JobQueue.push_back(std::move(job));
    for (auto& [code, name] : first.regions)
        c_.RegionNameList.Add(code, name);

    o_.firmscounter = 0;
    o_.ShowFoundCount();

    if (!SearchPhase())
        return;

    o_.ProgressBarPosition = 0;
    o_.ShowProgress();
    Log("Найдено торгов: " + std::to_string(c_.NewGuidList.size()));
    o_.WaitWhilePaused();
    util::WriteListFile(
        env_.guidsFile.empty() ? std::filesystem::path("guids.txt") : env_.guidsFile,
        c_.NewGuidList);
    if (c_.NewGuidList.empty())
        return;
    CardPhase();
}

void TScraper::Run::LoadSkipList() {
    const std::filesystem::path path = SkipFilePath(env_);
    std::error_code error;
    if (!std::filesystem::exists(path, error))
        return;
    try {
        for (auto& line : util::ReadListFile(path))
            c_.SkipList.insert(std::move(line));
    } catch (const util::PlatformError& e) {
        c_.SkipList.clear();
        Log(std::string("Не удалось прочитать skip.txt, пропускаем его: ") + e.what());
    }
}

bool TScraper::Run::SearchPhase() {
    o_.ProgressBarPosition = 0;
    o_.ProgressBarMax = static_cast<std::int32_t>(c_.JobQueue.size());
    const Filter filter = [](const std::string& job) -> std::optional<std::string> {
        if (Trimmed(job).empty())
            return std::nullopt;
        return job;
    };
    const Handler handler = [this](const std::string& job, Answers& answers) {
        HandleSearchAnswer(job, answers.html);
    };
    return RunPhase(c_.JobQueue, filter, handler, "") != PhaseEnd::Stopped;
}

void TScraper::Run::HandleSearchAnswer(const std::string& job, const std::string& body) {
    const json::JsonValue doc = json::Parse(body);
    const bool firstPage = IsFirstPage(job);
    std::int64_t found = 0;
    if (firstPage) {
        const std::string foundText = doc.MemberText("found");
        Log(job + "\r\nНашлось " + foundText + " торгов");
        found = ReadFoundCount(foundText);
        if (found >= kSplitThreshold) {
            auto parts = SplitQuery(job, found);
            if (parts) {
                Log("Разбиваем длинный интервал на несколько мелких, с текущей ссылки торги не "
                    "собираем.");
                for (auto& part : *parts)
                    c_.JobQueue.push_front(std::move(part));
                return;
            }
            Log("Интервал больше не сужается: реестр сообщает о " + std::to_string(found) +
                " торгах, больше, чем даёт пролистать; по этой ссылке собрано может быть не всё: " +
                job);
            found = std::min(found, kSplitThreshold);
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
    for (const auto& guid : refused)
        Log("Торги с недопустимым идентификатором пропускаем: " + Printable(guid));

    if (firstPage) {
        for (auto& next : FurtherPages(job, found))
            c_.JobQueue.push_back(std::move(next));
    }
    const std::size_t added =
        CollectNewGuids(c_, std::move(guids), util::ExtractBetween(job, "regionCode=", {}, "&"));
    Log("Найдено " + std::to_string(added) + " новых торгов на странице");
    o_.firmscounter = static_cast<std::int32_t>(c_.NewGuidList.size());
    o_.ShowFoundCount();
}

void TScraper::Run::CardPhase() {
    const std::filesystem::path dir =
        env_.executableDir.empty() ? util::ExecutableDirectory() : env_.executableDir;
    const std::int32_t tick = env_.tickCount ? env_.tickCount() : util::TickCount();
    const std::filesystem::path path = dir / ResultsFile::FileName(tick);
    Log("Данные будут записываться в файл " + path.string());

    std::optional<ResultsFile> file;
    PhaseEnd end = PhaseEnd::Failed;
    try {
        o_.WaitWhilePaused();
        file.emplace(path, o_.registerBaseUrl_);
    } catch (const ResultsFileError& e) {
        o_.result = std::string("ERROR_") + e.what();
        o_.HandleRunResult();
    }
    if (file) {
        // Harvest outputs: skip.txt records and the workbook start with the results file.
        outputs_.emplace(HarvestOutputOptions{env_.recordHarvested, env_.writeWorkbook,
                                              SkipFilePath(env_), o_.registerBaseUrl_,
                                              inputs_.regional.decimalSeparator},
                         [this](std::string text) { Log(std::move(text)); });
        outputs_->Begin(path);
        o_.ProgressBarPosition = 0;
        o_.ProgressBarMax = static_cast<std::int32_t>(c_.NewGuidList.size());
        const std::string skipPrefix = o_.registerBaseUrl_ + "/biddings/";
        const Filter filter = [&](const std::string& entry) -> std::optional<std::string> {
            std::string guid = Trimmed(entry);
            if (guid.empty() || c_.SkipList.contains(skipPrefix + guid))
                return std::nullopt;
            return guid;
        };
        const Handler handler = [&](const std::string& guid, Answers& answers) {
            HandleCard(guid, answers, *file);
        };
        end = RunPhase(c_.NewGuidList, filter, handler, "Карточка ");
    }
    if (end != PhaseEnd::Stopped) {
        o_.result = "ok";
        o_.HandleRunResult();
    }
    if (!file)
        return;
    try {
        file->Close();
    } catch (const ResultsFileError& e) {
        Log(std::string("Ошибка: ") + e.what());
    }
    // Harvest outputs: the workbook is finished and, when written, opened instead.
    const std::filesystem::path document = outputs_->Finish(path, o_.summary_);
    Log("Открываем файл с результатами");
    if (env_.openDocument) {
        env_.openDocument(document);
    } else {
        util::OpenWithDesktop(document);
    }
    o_.ProgressBarPosition = 0;
    o_.ShowProgress();
}

void TScraper::Run::HandleCard(const std::string& guid, Answers& answers, ResultsFile& file) {
    const std::string& region = c_.RegionNameList.Lookup(c_.GuidRegionList.Lookup(guid));
    CardAnswers card{std::move(answers.html), std::move(answers.lotPages),
                     std::move(answers.html3)};
    const CardRows rows = ExtractCard(guid, region, card, inputs_.regional.decimalSeparator);
    for (const auto& message : rows.dateErrors)
        Log("Карточка " + guid + ": " + message);
    for (const auto& row : rows.rows) {
        o_.WaitWhilePaused();
        file.WriteRow(row);
    }
    // Harvest outputs: every row of the trade is in the results file.
    if (outputs_)
        outputs_->TradeWritten(guid, region, card.trade, rows.rows);
}

PhaseEnd TScraper::Run::RunPhase(std::deque<std::string>& queue, const Filter& filter,
                                 const Handler& handler, std::string_view logPrefix) {
    auto lists = std::make_shared<fetch::WorkerLists>(workerListLock_);
    // Workers the phase stops waiting for keep their share of the lists and finish on their own.
    const auto abandon = [&lists](bool terminate) {
        std::lock_guard lock(*lists->WorkerListLock);
        for (auto& worker : lists->RunningList) {
            if (terminate)
                worker->Terminate();
            worker->Detach();
        }
        for (auto& worker : lists->FinishedList)
            worker->Detach();
    };
    // Jobs whose answer could not be handled once; a second failure drops them.
    std::unordered_set<std::string> failedOnce;
    const fetch::WorkerSettings settings{o_.registerBaseUrl_, env_.transport,
                                         env_.timings.retryPause};
    try {
        while (!o_.Terminated()) {
            o_.WaitWhilePaused();
            std::size_t running = 0;
            {
                std::lock_guard lock(*lists->WorkerListLock);
                running = lists->RunningList.size();
            }
            bool started = false;
            if (static_cast<std::int64_t>(running) < o_.Limit && !queue.empty()) {
                std::string job = std::move(queue.front());
                queue.pop_front();
                ++o_.ProgressBarPosition;
                o_.ShowProgress();
                if (auto url = filter(job)) {
                    auto worker = std::make_shared<fetch::TScrapingThread2>(settings);
                    worker->url = std::move(*url);
                    worker->Lists = lists;
                    {
                        std::lock_guard lock(*lists->WorkerListLock);
                        lists->RunningList.push_back(worker);
                    }
                    worker->Start();
                    Pace(env_.timings.pacing);
                    started = true;
                }
            }

            o_.WaitWhilePaused();
            std::shared_ptr<fetch::TScrapingThread2> finished;
            {
                std::lock_guard lock(*lists->WorkerListLock);
                if (!lists->FinishedList.empty()) {
                    finished = std::move(lists->FinishedList.front());
                    lists->FinishedList.pop_front();
                }
            }
            if (finished) {
                finished->Join();
                Answers answers;
                answers.html = util::StreamToString(finished->html);
                answers.lotPages.push_back(util::StreamToString(finished->html2));
                for (const auto& more : finished->moreLots) {
                    answers.lotPages.push_back(util::StreamToString(more));
                }
                answers.html3 = util::StreamToString(finished->html3);
                const std::string job = finished->url;
                const std::int32_t outcome = finished->result;
                const std::string status = finished->statusText;
                finished.reset();

                try {
                    Log(std::string(logPrefix) + job + ": " + status);
                    if (outcome == 1)
                        handler(job, answers);
                } catch (const ResultsFileError&) {
                    throw;
                } catch (const std::exception& e) {
                    // One answer that cannot be handled costs that answer only: it is tried
                    // once more after the pause, the other jobs go on.
                    o_.result = std::string("ERROR_") + e.what();
                    o_.HandleRunResult();
                    if (failedOnce.insert(job).second) {
                        queue.push_front(job);
                    } else {
                        Log("Ответ снова не обработан, задание пропускаем: " + job);
                    }
                }
            }

            bool idle = false;
            {
                std::lock_guard lock(*lists->WorkerListLock);
                idle = lists->RunningList.empty() && lists->FinishedList.empty();
            }
            if (idle && queue.empty())
                return PhaseEnd::Done;
            // A turn that started a worker has already paused for the pacing; another pause
            // would only stretch every job beyond it.
            if (!started)
                Pace(env_.timings.loopTurn);
        }
        abandon(true);
        return PhaseEnd::Stopped;
    } catch (const std::exception& e) {
        abandon(false);
        o_.result = std::string("ERROR_") + e.what();
        o_.HandleRunResult();
        return PhaseEnd::Failed;
    }
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

TScraper::~TScraper() = default;

void TScraper::Start() {
    if (started_.exchange(true))
        return;
    std::thread([self = shared_from_this()]() mutable {
        const std::shared_ptr<Shared> shared = self->shared_;
        try {
            self->Body();
        } catch (...) {
            // A run ends quietly when it cannot even begin (the named mutex) or a report of
            // its last step fails; there is nobody left to tell.
        }
        self.reset();  // the run frees itself when its body returns
        {
            std::lock_guard lock(shared->mutex);
            shared->ended = true;
        }
        shared->changed.notify_all();
    }).detach();
}

void TScraper::Body() {
    const util::NamedMutex mutex(environment_.mutexName.empty() ? "Global\\KorvalotMutex"
                                                                : environment_.mutexName);
    Run run(*this);
    run.Execute();
    // A run whose phases left its end unset has still ended; what it counted stays as it is.
    if (summary_.end == RunSummary::End::NotStarted)
        summary_.end = Terminated() ? RunSummary::End::Stopped : RunSummary::End::Finished;
}

void TScraper::Pause() {
    std::lock_guard lock(shared_->mutex);
    shared_->paused = true;
}

void TScraper::Resume() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->paused = false;
    }
    shared_->changed.notify_all();
}

bool TScraper::IsPaused() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->paused;
}

void TScraper::Terminate() {
    shared_->terminated.store(true);
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

RunSummary TScraper::Summary() const {
    std::lock_guard lock(shared_->mutex);
    return summary_;
}

bool TScraper::WaitUntilEnded(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_for(lock, timeout, [&] { return shared_->ended; });
}

void TScraper::WaitWhilePaused() {
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return !shared_->paused; });
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
