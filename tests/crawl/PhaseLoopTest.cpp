// The phase loop on its own, its workers talking to a scripted register: which jobs are asked,
// in what order, how often, and what the loop tells its run.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "crawl/CrawlError.h"
#include "crawl/PhaseLoop.h"
#include "crawl/fakes/FakeRegister.h"

namespace korvalot::crawl {

void PrintTo(const PhaseProgress& progress, std::ostream* os) {
    *os << progress.done << " of " << progress.total;
}

namespace {

using namespace std::chrono_literals;
using testing_support::FakeRegister;
using testing_support::Reply;

const std::string kBase = "https://reg.test";
// A search page the register answers: one trade found, none listed.
const Reply kEmptyPage{200, "{\"found\":1,\"pageData\":[]}"};

// A register that answers every request with that page.
std::shared_ptr<FakeRegister> AnsweringRegister() {
    return FakeRegister::Create([](const std::string&) { return kEmptyPage; });
}

std::string Address(const std::string& name) {
    return kBase + "/s?" + name;
}

// A search job at the address; the loop never looks into its query.
Job Search(std::string address) {
    return Job{{fetch::FetchJob::Kind::Search, std::move(address)}, {}};
}

std::deque<Job> Queue(std::initializer_list<std::string> addresses) {
    std::deque<Job> queue;
    for (const auto& address : addresses)
        queue.push_back(Search(address));
    return queue;
}

// The run's side of the loop, recorded.
struct Recorder {
    std::vector<std::string> log;
    std::vector<std::string> errors;
    std::vector<std::string> handled;
    std::vector<std::string> givenUp;
    std::vector<PhaseProgress> progress;
    std::atomic<bool> stop{false};

    PhaseHost Host() {
        PhaseHost host;
        host.stopRequested = [this] { return stop.load(); };
        host.waitWhilePaused = [] {};
        host.progress = [this](const PhaseProgress& now) { progress.push_back(now); };
        host.log = [this](std::string text) { log.push_back(std::move(text)); };
        host.reportError = [this](const std::string& message) { errors.push_back(message); };
        return host;
    }

    PhaseJobs Jobs() {
        PhaseJobs jobs;
        jobs.filter = [](Job& entry) {
            return entry.Text().find_first_not_of(' ') != std::string::npos;
        };
        jobs.handler = [this](const Job& job, Answers& answers) {
            // The worker's own parse of the answer, handed over with it.
            ASSERT_FALSE(answers.html.IsNothing()) << job.Text();
            EXPECT_EQ(answers.html.MemberText("found"), "1") << job.Text();
            handled.push_back(job.Text());
        };
        jobs.lostNote = [](const Job&) { return std::string("; потеряно"); };
        jobs.givenUp = [this](const Job& job) { givenUp.push_back(job.Text()); };
        return jobs;
    }
};

PhaseLoop MakeLoop(const std::shared_ptr<FakeRegister>& reg, PhaseHost host, int limit) {
    PhaseSettings settings;
    settings.worker = WorkerSettingsFor(reg, kBase);
    settings.limit = limit;
    settings.pacing = 1ms;
    return PhaseLoop(std::make_shared<std::mutex>(), settings, std::move(host));
}

PhaseLoop MakeLoop(const std::shared_ptr<FakeRegister>& reg, Recorder& rec, int limit) {
    return MakeLoop(reg, rec.Host(), limit);
}

struct RetryCase {
    const char* name;
    // How many times each job is answered 404 before it is answered; -1: always.
    std::map<std::string, int> notFoundFirst;
    std::vector<std::string> queue;
    std::vector<std::string> calls;  // in order
    std::vector<std::string> handled;
    std::vector<std::string> givenUp;
};

void PrintTo(const RetryCase& c, std::ostream* os) {
    *os << c.name;
}

class PhaseLoopRetryTest : public testing::TestWithParam<RetryCase> {};

// A 404 ends a job's attempts at once, so each chance is one request here.
TEST_P(PhaseLoopRetryTest, AFailedJobGetsOneMoreChanceAfterEveryOtherJob) {
    const RetryCase& c = GetParam();
    auto left = std::make_shared<std::map<std::string, int>>();
    for (const auto& [name, n] : c.notFoundFirst)
        (*left)[Address(name)] = n;
    auto reg = FakeRegister::Create([left](const std::string& url) -> Reply {
        const auto it = left->find(url);
        if (it != left->end() && it->second != 0) {
            if (it->second > 0)
                --it->second;
            return {404, ""};
        }
        return kEmptyPage;
    });
    Recorder rec;
    std::deque<Job> queue;
    for (const auto& name : c.queue)
        queue.push_back(Search(name == " " ? name : Address(name)));
    // One worker at a time, so that the register sees the jobs in the order they are handed out.
    EXPECT_EQ(MakeLoop(reg, rec, 1).Run(queue, rec.Jobs()), PhaseEnd::Done);
    ASSERT_TRUE(reg->WaitUntilNoTransport(60s));

    std::vector<std::string> calls, handled, givenUp;
    for (const auto& name : c.calls)
        calls.push_back(Address(name));
    for (const auto& name : c.handled)
        handled.push_back(Address(name));
    for (const auto& name : c.givenUp)
        givenUp.push_back(Address(name));
    EXPECT_EQ(reg->Calls(), calls);
    EXPECT_EQ(rec.handled, handled);
    EXPECT_EQ(rec.givenUp, givenUp);
    EXPECT_TRUE(rec.errors.empty());
    // A job waiting for its second chance is neither done nor a job more: the total stays the
    // queue's length, and the phase ends with every entry done, the blank one included.
    const auto n = static_cast<std::int64_t>(c.queue.size());
    ASSERT_FALSE(rec.progress.empty());
    EXPECT_EQ(rec.progress.front(), (PhaseProgress{0, n}));
    EXPECT_EQ(rec.progress.back(), (PhaseProgress{n, n}));
    for (std::size_t k = 0; k < rec.progress.size(); ++k) {
        EXPECT_EQ(rec.progress[k].total, n) << k;
        if (k > 0) {
            EXPECT_GT(rec.progress[k].done, rec.progress[k - 1].done) << k;
        }
    }

    // Every failure is logged: the first with the promise of another try, the last with what
    // is lost.
    std::vector<std::string> expectedLog;
    std::map<std::string, int> failures;
    for (const auto& name : c.calls) {
        const std::string job = Address(name);
        const bool failed =
            c.notFoundFirst.contains(name) &&
            (c.notFoundFirst.at(name) < 0 || failures[name] < c.notFoundFirst.at(name));
        if (!failed) {
            expectedLog.push_back(job + ": успешно");
        } else if (failures[name]++ == 0) {
            expectedLog.push_back(job + ": ERROR HTTP/1.1 404 Not Found" +
                                  std::string(kRetryLaterNote));
        } else {
            expectedLog.push_back(job + ": ERROR HTTP/1.1 404 Not Found; потеряно");
        }
    }
    EXPECT_EQ(rec.log, expectedLog);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PhaseLoopRetryTest,
    testing::Values(RetryCase{"NothingFails", {}, {"a", "b"}, {"a", "b"}, {"a", "b"}, {}},
                    RetryCase{"SecondChanceSucceeds",
                              {{"a", 1}},
                              {"a", "b", "c"},
                              {"a", "b", "c", "a"},
                              {"b", "c", "a"},
                              {}},
                    RetryCase{
                        "LastChanceFails", {{"a", -1}}, {"a", "b"}, {"a", "b", "a"}, {"b"}, {"a"}},
                    // Second chances come in the order of the first failures; a blank entry is
                    // consumed without a request.
                    RetryCase{"TwoFailuresKeepTheirOrder",
                              {{"b", 1}, {"a", -1}},
                              {"b", " ", "a", "c"},
                              {"b", "a", "c", "b", "a"},
                              {"c", "b"},
                              {"a"}}),
    [](const testing::TestParamInfo<RetryCase>& info) { return std::string(info.param.name); });

// A job that a retried answer queues runs after it and has a second chance of its own.
TEST(PhaseLoopTest, JobsQueuedDuringTheSecondChancesGetTheirOwn) {
    auto failed = std::make_shared<std::set<std::string>>();
    auto reg = FakeRegister::Create([failed](const std::string& url) -> Reply {
        if (failed->insert(url).second)
            return {404, ""};
        return kEmptyPage;
    });
    Recorder rec;
    PhaseJobs jobs = rec.Jobs();
    std::deque<Job> queue = Queue({Address("first")});
    jobs.handler = [&](const Job& job, Answers&) {
        rec.handled.push_back(job.Text());
        if (job.Text() == Address("first"))
            queue.push_back(Search(Address("next")));
    };
    EXPECT_EQ(MakeLoop(reg, rec, 1).Run(queue, jobs), PhaseEnd::Done);
    ASSERT_TRUE(reg->WaitUntilNoTransport(60s));
    EXPECT_EQ(reg->Calls(), (std::vector<std::string>{Address("first"), Address("first"),
                                                      Address("next"), Address("next")}));
    EXPECT_EQ(rec.handled, (std::vector<std::string>{Address("first"), Address("next")}));
    EXPECT_TRUE(rec.givenUp.empty());
    // The queued job joins the total as it comes.
    EXPECT_EQ(rec.progress.front(), (PhaseProgress{0, 1}));
    EXPECT_NE(std::find(rec.progress.begin(), rec.progress.end(), PhaseProgress{1, 2}),
              rec.progress.end());
    EXPECT_EQ(rec.progress.back(), (PhaseProgress{2, 2}));
}

// An answer that cannot be handled is reported, asked once more at once, then given up.
TEST(PhaseLoopTest, AnAnswerThatFailsTwiceIsReportedTwiceAndGivenUp) {
    auto reg = AnsweringRegister();
    Recorder rec;
    PhaseJobs jobs = rec.Jobs();
    jobs.handler = [&](const Job& job, Answers&) {
        if (job.Text() == Address("bad"))
            throw CrawlError("unreadable");
        rec.handled.push_back(job.Text());
    };
    std::deque<Job> queue = Queue({Address("bad"), Address("good")});
    EXPECT_EQ(MakeLoop(reg, rec, 1).Run(queue, jobs), PhaseEnd::Done);
    ASSERT_TRUE(reg->WaitUntilNoTransport(60s));
    EXPECT_EQ(reg->CallsTo(Address("bad")), 2);
    EXPECT_EQ(rec.errors, (std::vector<std::string>{"unreadable", "unreadable"}));
    EXPECT_EQ(rec.handled, (std::vector<std::string>{Address("good")}));
    EXPECT_EQ(rec.givenUp, (std::vector<std::string>{Address("bad")}));
    EXPECT_EQ(std::count(rec.log.begin(), rec.log.end(),
                         "Ответ снова не обработан, задание пропускаем: " + Address("bad")),
              1);
    // The answer asked again is the same job: done once, when it is given up.
    for (const PhaseProgress& progress : rec.progress)
        EXPECT_EQ(progress.total, 2);
    EXPECT_EQ(rec.progress.back(), (PhaseProgress{2, 2}));
}

// A failure after a job's answer was handled (the report of its end, or the handler's own once
// it has said so) is reported, and the job is done: it is neither asked nor handled again, and
// it is counted done once. The next job goes on as usual.
TEST(PhaseLoopTest, AFailureAfterTheAnswerWasHandledNeverSendsTheJobAgain) {
    enum class Fails { Report, HandlerAfterItsMark };
    for (const Fails fails : {Fails::Report, Fails::HandlerAfterItsMark}) {
        SCOPED_TRACE(fails == Fails::Report ? "report" : "handler");
        auto reg = AnsweringRegister();
        Recorder rec;
        PhaseHost host = rec.Host();
        std::vector<std::string> done;
        host.jobFinished = [&](const JobFinished& event) {
            if (event.fate != JobFate::Done)
                return;
            done.push_back(event.job);
            if (fails == Fails::Report && event.job == Address("a"))
                throw std::runtime_error("report lost");
        };
        PhaseJobs jobs = rec.Jobs();
        jobs.handler = [&](const Job& job, Answers& answers) {
            rec.handled.push_back(job.Text());
            answers.handled = true;
            if (fails == Fails::HandlerAfterItsMark && job.Text() == Address("a"))
                throw std::runtime_error("log lost");
        };
        PhaseLoop loop = MakeLoop(reg, host, 1);
        std::deque<Job> queue = Queue({Address("a"), Address("b")});
        EXPECT_EQ(loop.Run(queue, jobs), PhaseEnd::Done);
        ASSERT_TRUE(reg->WaitUntilNoTransport(60s));
        EXPECT_EQ(rec.errors, (std::vector<std::string>{fails == Fails::Report ? "report lost"
                                                                               : "log lost"}));
        EXPECT_EQ(reg->CallsTo(Address("a")), 1);
        EXPECT_EQ(rec.handled, (std::vector<std::string>{Address("a"), Address("b")}));
        EXPECT_EQ(done, (std::vector<std::string>{Address("a"), Address("b")}));
        EXPECT_TRUE(rec.givenUp.empty());
        ASSERT_FALSE(rec.progress.empty());
        EXPECT_EQ(rec.progress.back(), (PhaseProgress{2, 2}));
    }
}

// The results file failing ends the phase at once and reaches the run, which ends the card
// phase without an error pause: nothing more is handed out and nothing is reported as an error.
TEST(PhaseLoopTest, AResultsFileErrorEndsThePhaseAndReachesTheRun) {
    auto reg = AnsweringRegister();
    Recorder rec;
    PhaseJobs jobs = rec.Jobs();
    jobs.handler = [](const Job&, Answers&) { throw ResultsFileError("disk full"); };
    std::deque<Job> queue = Queue({Address("a"), Address("b"), Address("c")});
    EXPECT_THROW(MakeLoop(reg, rec, 1).Run(queue, jobs), ResultsFileError);
    ASSERT_TRUE(reg->WaitUntilNoTransport(60s));
    EXPECT_TRUE(rec.errors.empty()) << "the failure was reported as an error to pause for";
    // With one worker at a time, "b" at most can be under way when "a" fails; "c" never goes.
    EXPECT_LE(reg->Calls().size(), 2u) << "a job was handed out after the failure";
    ASSERT_FALSE(queue.empty());
    EXPECT_EQ(queue.back().Text(), Address("c"));
}

// Stop acts at the next turn although a failed job waits for its second chance; the worker
// still running is asked to end and is not collected.
TEST(PhaseLoopTest, StopEndsThePhaseAtOnceWithASecondChancePending) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
    };
    auto gate = std::make_shared<Gate>();
    auto reg = FakeRegister::Create([gate](const std::string& url) -> Reply {
        if (url == Address("gone"))
            return {404, ""};
        std::unique_lock lock(gate->mutex);
        gate->opened.wait(lock, [&] { return gate->open; });
        return {500, ""};
    });
    Recorder rec;
    PhaseHost host = rec.Host();
    // The operator presses Stop as soon as the first failure is logged, once the held job's
    // request has reached the register.
    host.log = [&rec, reg](std::string text) {
        if (text.ends_with(kRetryLaterNote)) {
            EXPECT_TRUE(reg->WaitForActive(1, 60s));
            rec.stop = true;
        }
        rec.log.push_back(std::move(text));
    };
    PhaseLoop loop = MakeLoop(reg, host, 2);
    std::deque<Job> queue = Queue({Address("held"), Address("gone")});
    EXPECT_EQ(loop.Run(queue, rec.Jobs()), PhaseEnd::Stopped);
    {
        std::lock_guard lock(gate->mutex);
        gate->open = true;
    }
    gate->opened.notify_all();
    ASSERT_TRUE(reg->WaitUntilNoTransport(60s));
    // The held worker, answered 500, would try nine more times unless asked to stop.
    EXPECT_EQ(reg->CallsTo(Address("held")), 1);
    EXPECT_EQ(reg->CallsTo(Address("gone")), 1) << "a second chance was given after the stop";
    EXPECT_EQ(reg->Calls().size(), 2u);
    EXPECT_TRUE(rec.handled.empty());
    EXPECT_TRUE(rec.givenUp.empty());
}

// ---- a register that does not answer ----

PhaseLoop OutageLoop(const std::shared_ptr<FakeRegister>& reg, Recorder& rec) {
    PhaseSettings settings;
    settings.worker = WorkerSettingsFor(reg, kBase);
    settings.limit = 1;
    settings.pacing = 1ms;
    settings.outage.firstProbe = 1ms;
    settings.outage.probeCap = 4ms;
    settings.outage.limit = 60s;
    return PhaseLoop(std::make_shared<std::mutex>(), settings, rec.Host());
}

std::size_t Lines(const std::vector<std::string>& log, const std::string& start) {
    return static_cast<std::size_t>(std::count_if(
        log.begin(), log.end(), [&](const std::string& line) { return line.starts_with(start); }));
}

// One address that keeps answering 500 while the register answers every other: the job fails
// both its chances as before, and no outage is declared. At the end nothing else is under way,
// so one probe of an address the register answered tells its failure from an outage.
TEST(PhaseLoopOutageTest, AnAddressFailingOnItsOwnIsOneJobsFailure) {
    auto reg = FakeRegister::Create([](const std::string& url) -> Reply {
        if (url == Address("bad"))
            return {500, ""};
        return kEmptyPage;
    });
    Recorder rec;
    std::deque<Job> queue = Queue({Address("a"), Address("bad"), Address("b"), Address("c")});
    EXPECT_EQ(OutageLoop(reg, rec).Run(queue, rec.Jobs()), PhaseEnd::Done);
    ASSERT_TRUE(reg->WaitUntilNoTransport(60s));
    EXPECT_EQ(rec.handled, (std::vector<std::string>{Address("a"), Address("b"), Address("c")}));
    EXPECT_EQ(rec.givenUp, (std::vector<std::string>{Address("bad")}));
    EXPECT_EQ(reg->CallsTo(Address("bad")), 20) << "ten attempts for each of its two chances";
    EXPECT_EQ(reg->CallsTo(Address("c")), 2) << "the one probe goes to the address last answered";
    EXPECT_EQ(Lines(rec.log, "Реестр"), 0u);
    EXPECT_EQ(rec.log.back(),
              Address("bad") + ": ERROR HTTP/1.1 500 Internal Server Error; потеряно");
}

// Several addresses in a row that fail on their own: the jobs stop while one probe asks an
// address the register answered, which answers, so they fail as they always did, each chance
// once, and the phase ends.
TEST(PhaseLoopOutageTest, SeveralAddressesFailingOnTheirOwnInARowAreTheirOwnFailures) {
    auto reg = FakeRegister::Create([](const std::string& url) -> Reply {
        if (url.find("bad") != std::string::npos)
            return {500, ""};
        return kEmptyPage;
    });
    Recorder rec;
    std::deque<Job> queue =
        Queue({Address("a"), Address("bad1"), Address("bad2"), Address("bad3"), Address("b")});
    EXPECT_EQ(OutageLoop(reg, rec).Run(queue, rec.Jobs()), PhaseEnd::Done);
    ASSERT_TRUE(reg->WaitUntilNoTransport(60s));
    EXPECT_EQ(rec.handled, (std::vector<std::string>{Address("a"), Address("b")}));
    EXPECT_EQ(rec.givenUp,
              (std::vector<std::string>{Address("bad1"), Address("bad2"), Address("bad3")}));
    EXPECT_EQ(Lines(rec.log, "Реестр"), 0u);
    // One probe for each run of three, of the address answered last: "a" for the first chances,
    // "b" for the last ones.
    EXPECT_EQ(reg->CallsTo(Address("a")), 2);
    EXPECT_EQ(reg->CallsTo(Address("b")), 2);
    EXPECT_EQ(reg->CallsTo(Address("bad1")), 20);
}

// The register goes down just as a job's last chance goes out: the chance is held, not spent,
// and the job is harvested once the register answers again.
TEST(PhaseLoopOutageTest, ALastChanceMetByAnOutageIsHeldAndGoesOutAgain) {
    struct State {
        std::mutex mutex;
        int answered = 0;
        bool down = false;
        int refused = 0;
        bool xFailedOnce = false;
    };
    auto state = std::make_shared<State>();
    auto reg = FakeRegister::Create([state](const std::string& url) -> Reply {
        std::lock_guard lock(state->mutex);
        if (state->down) {
            // The last chance's ten attempts and three probes meet the outage.
            if (++state->refused <= 13)
                return {503, ""};
            state->down = false;
        }
        if (url == Address("x") && !state->xFailedOnce) {
            state->xFailedOnce = true;
            return {404, ""};
        }
        if (++state->answered == 3)
            state->down = true;  // a, b and c are done: x's last chance comes next
        return kEmptyPage;
    });
    Recorder rec;
    std::deque<Job> queue = Queue({Address("x"), Address("a"), Address("b"), Address("c")});
    EXPECT_EQ(OutageLoop(reg, rec).Run(queue, rec.Jobs()), PhaseEnd::Done);
    ASSERT_TRUE(reg->WaitUntilNoTransport(60s));
    EXPECT_EQ(rec.handled,
              (std::vector<std::string>{Address("a"), Address("b"), Address("c"), Address("x")}));
    EXPECT_TRUE(rec.givenUp.empty());
    // The held job stays one of the phase's jobs, and the probes are none.
    for (const PhaseProgress& progress : rec.progress)
        EXPECT_EQ(progress.total, 4);
    EXPECT_EQ(rec.progress.back(), (PhaseProgress{4, 4}));
    EXPECT_EQ(Lines(rec.log, "Реестр перестал отвечать"), 1u);
    EXPECT_EQ(Lines(rec.log, "Реестр снова отвечает"), 1u);
    EXPECT_EQ(std::count(rec.log.begin(), rec.log.end(),
                         Address("x") + ": ERROR HTTP/1.1 503 Internal Server Error" +
                             std::string(kHeldNote)),
              1);
    // Its first try, its held last chance, and the last chance again.
    EXPECT_EQ(reg->CallsTo(Address("x")), 12);
}

}  // namespace
}  // namespace korvalot::crawl
