// The outage of a register on its own: what it makes of jobs and probes, step by step on a clock
// the table sets.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "crawl/RegisterOutage.h"

namespace korvalot::crawl {
namespace {

using namespace std::chrono_literals;
using State = RegisterOutage::State;
constexpr auto A = RegisterReply::Answered;
constexpr auto N = RegisterReply::NotAnswered;

enum class Act {
    Job,    // a job came back with the reply
    Doubt,  // nothing else under way can tell
    Send,   // a probe goes out (it must be due)
    Probe,  // the probe came back with the reply
    Wait,   // nothing happens; only the state, the probe's due time and its wait are checked
};

struct Step {
    int at;  // ms on the table's clock
    Act act;
    RegisterReply reply = A;
    OutageEvent event = OutageEvent::None;
    State state = State::Answering;
    bool due = false;    // a probe is due after the step
    int nextProbe = -1;  // ms until the next probe after the step; -1: not checked
    int downFor = -1;    // ms of the event's downFor, or of DownFor(); -1: not checked
};

struct OutageCase {
    const char* name;
    OutageSettings settings;
    std::vector<Step> steps;
};

void PrintTo(const OutageCase& c, std::ostream* os) {
    *os << c.name;
}

OutageSettings Settings(int firstMs, int capMs, int limitMs, int inRow = 3) {
    OutageSettings s;
    s.failuresInRow = inRow;
    s.firstProbe = std::chrono::milliseconds(firstMs);
    s.probeCap = std::chrono::milliseconds(capMs);
    s.limit = std::chrono::milliseconds(limitMs);
    return s;
}

const char* Name(OutageEvent e) {
    switch (e) {
        case OutageEvent::None:
            return "None";
        case OutageEvent::Settle:
            return "Settle";
        case OutageEvent::WentDown:
            return "WentDown";
        case OutageEvent::CameBack:
            return "CameBack";
        case OutageEvent::GaveUp:
            return "GaveUp";
    }
    return "?";
}

class RegisterOutageTest : public testing::TestWithParam<OutageCase> {};

TEST_P(RegisterOutageTest, FollowsTheTable) {
    const OutageCase& c = GetParam();
    RegisterOutage outage(c.settings);
    const auto zero = RegisterOutage::Clock::time_point{} + 1h;
    for (std::size_t k = 0; k < c.steps.size(); ++k) {
        const Step& step = c.steps[k];
        SCOPED_TRACE("step " + std::to_string(k + 1) + " at " + std::to_string(step.at) + " ms");
        const auto now = zero + std::chrono::milliseconds(step.at);
        OutageStep result;
        switch (step.act) {
            case Act::Job:
                result = outage.JobEnded(step.reply, now);
                break;
            case Act::Doubt:
                outage.Doubt(now);
                break;
            case Act::Send:
                ASSERT_TRUE(outage.ProbeDue(now)) << "a probe was sent before it was due";
                outage.ProbeSent();
                break;
            case Act::Probe:
                result = outage.ProbeEnded(step.reply, now);
                break;
            case Act::Wait:
                break;
        }
        EXPECT_STREQ(Name(result.event), Name(step.event));
        EXPECT_EQ(outage.Current(), step.state);
        EXPECT_EQ(outage.Holding(), step.state != State::Answering);
        EXPECT_EQ(outage.ProbeDue(now), step.due);
        if (step.nextProbe >= 0) {
            EXPECT_EQ(outage.NextProbeIn(now), std::chrono::milliseconds(step.nextProbe));
        }
        if (step.downFor >= 0) {
            const auto down =
                result.event == OutageEvent::CameBack || result.event == OutageEvent::GaveUp
                    ? result.downFor
                    : outage.DownFor(now);
            EXPECT_EQ(down, std::chrono::milliseconds(step.downFor));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegisterOutageTest,
    testing::Values(
        // A trade whose own address fails while the register answers others: the failures in
        // doubt become ordinary ones, and the count starts again.
        OutageCase{"FailuresBelowTheThresholdAreSettledByAnAnswer",
                   Settings(1000, 60000, 7200000),
                   {{0, Act::Job, N, OutageEvent::None, State::Answering},
                    {10, Act::Job, N, OutageEvent::None, State::Answering, false, -1, 10},
                    {20, Act::Job, A, OutageEvent::Settle, State::Answering},
                    {30, Act::Job, N, OutageEvent::None, State::Answering},
                    {40, Act::Job, N, OutageEvent::None, State::Answering},
                    {50, Act::Job, A, OutageEvent::Settle, State::Answering},
                    {60, Act::Job, A, OutageEvent::None, State::Answering}}},
        // Failures of the address asked (404, an empty answer) say the register answers.
        OutageCase{"AnOwnFailureBreaksTheRow",
                   Settings(1000, 60000, 7200000),
                   {{0, Act::Job, N},
                    {1, Act::Job, N},
                    {2, Act::Job, A, OutageEvent::Settle},
                    {3, Act::Job, N},
                    {4, Act::Job, N}}},
        // Three in a row stop the jobs and send a probe at once; its failure confirms the
        // outage, and the next probe waits.
        OutageCase{"ThreeInARowAreCheckedAndTheNextProbeWaits",
                   Settings(1000, 60000, 7200000),
                   {{0, Act::Job, N},
                    {5, Act::Job, N},
                    {10, Act::Job, N, OutageEvent::None, State::Checking, true, 0, 10},
                    {10, Act::Send, A, OutageEvent::None, State::Checking},
                    // Failures meanwhile are in doubt with the others.
                    {20, Act::Job, N, OutageEvent::None, State::Checking},
                    {40, Act::Probe, N, OutageEvent::WentDown, State::Down, false, 1000, 40},
                    // Failures while it is down are held, not counted.
                    {500, Act::Job, N, OutageEvent::None, State::Down, false, 540},
                    {1039, Act::Wait, A, OutageEvent::None, State::Down, false, 1},
                    {1040, Act::Wait, A, OutageEvent::None, State::Down, true, 0}}},
        // Trades that fail on their own, several in a row: the probe of an address the register
        // answered says it answers, and their failures count as they always did.
        OutageCase{"ThreeInARowAnsweredByTheProbeAreTheirOwnFailures",
                   Settings(1000, 60000, 7200000),
                   {{0, Act::Job, N},
                    {0, Act::Job, N},
                    {0, Act::Job, N, OutageEvent::None, State::Checking, true},
                    {0, Act::Send, A, OutageEvent::None, State::Checking},
                    {30, Act::Probe, A, OutageEvent::Settle, State::Answering}}},
        OutageCase{
            "ProbeIntervalsDoubleUpToTheCap",
            Settings(1000, 4000, 3600000),
            {{0, Act::Job, N},
             {0, Act::Job, N},
             {0, Act::Job, N, OutageEvent::None, State::Checking, true},
             {0, Act::Send, A, OutageEvent::None, State::Checking},
             {0, Act::Probe, N, OutageEvent::WentDown, State::Down, false, 1000},
             {1000, Act::Send, A, OutageEvent::None, State::Down, false, 0},
             {1300, Act::Probe, N, OutageEvent::None, State::Down, false, 2000},
             {3300, Act::Send, A, OutageEvent::None, State::Down},
             {3300, Act::Probe, N, OutageEvent::None, State::Down, false, 4000},
             {7300, Act::Send, A, OutageEvent::None, State::Down},
             {7300, Act::Probe, N, OutageEvent::None, State::Down, false, 4000},
             {11299, Act::Wait, A, OutageEvent::None, State::Down, false, 1},
             {11300, Act::Send, A, OutageEvent::None, State::Down},
             // The register answers: back, with the time since the first failure.
             {11400, Act::Probe, A, OutageEvent::CameBack, State::Answering, false, -1, 11400},
             // And a new outage starts from the first wait again.
             {20000, Act::Job, N},
             {20000, Act::Job, N},
             {20000, Act::Job, N, OutageEvent::None, State::Checking, true},
             {20000, Act::Send, A, OutageEvent::None, State::Checking},
             {20000, Act::Probe, N, OutageEvent::WentDown, State::Down, false, 1000}}},
        OutageCase{"AJobThatSucceedsWhileDownBringsItBack",
                   Settings(1000, 60000, 7200000),
                   {{0, Act::Job, N},
                    {0, Act::Job, N},
                    {100, Act::Job, N, OutageEvent::None, State::Checking, true},
                    {100, Act::Send, A, OutageEvent::None, State::Checking},
                    {100, Act::Probe, N, OutageEvent::WentDown, State::Down},
                    {1100, Act::Send, A, OutageEvent::None, State::Down},
                    {2000, Act::Job, A, OutageEvent::CameBack, State::Answering, false, -1, 2000},
                    // The probe under way meanwhile ends unheeded.
                    {2100, Act::Probe, N, OutageEvent::None, State::Answering}}},
        // The limit is looked at when a probe fails, so that a run paused past it asks once more.
        OutageCase{"TheLimitEndsTheWaitAtAProbeThatFails",
                   Settings(1000, 1000, 5000),
                   {{0, Act::Job, N},
                    {0, Act::Job, N},
                    {0, Act::Job, N, OutageEvent::None, State::Checking, true},
                    {0, Act::Send, A, OutageEvent::None, State::Checking},
                    {0, Act::Probe, N, OutageEvent::WentDown, State::Down},
                    {1000, Act::Send, A, OutageEvent::None, State::Down},
                    {1000, Act::Probe, N, OutageEvent::None, State::Down},
                    {60000, Act::Send, A, OutageEvent::None, State::Down},
                    {60000, Act::Probe, N, OutageEvent::GaveUp, State::Lost, false, -1, 60000},
                    {60001, Act::Job, A, OutageEvent::None, State::Lost}}},
        OutageCase{
            "APausedRunAnsweredAfterTheLimitGoesOn",
            Settings(1000, 1000, 5000),
            {{0, Act::Job, N},
             {0, Act::Job, N},
             {0, Act::Job, N, OutageEvent::None, State::Checking, true},
             {0, Act::Send, A, OutageEvent::None, State::Checking},
             {0, Act::Probe, N, OutageEvent::WentDown, State::Down},
             {60000, Act::Send, A, OutageEvent::None, State::Down},
             {60000, Act::Probe, A, OutageEvent::CameBack, State::Answering, false, -1, 60000}}},
        OutageCase{"ALimitOfZeroGivesUpAtTheFirstProbeAfterTheOutage",
                   Settings(1000, 60000, 0),
                   {{0, Act::Job, N},
                    {0, Act::Job, N},
                    {0, Act::Job, N, OutageEvent::None, State::Checking, true},
                    {0, Act::Send, A, OutageEvent::None, State::Checking},
                    {0, Act::Probe, N, OutageEvent::WentDown, State::Down},
                    {1000, Act::Send, A, OutageEvent::None, State::Down},
                    {1000, Act::Probe, N, OutageEvent::GaveUp, State::Lost}}},
        // One failure with nothing else under way: a probe at once decides.
        OutageCase{"ADoubtAnsweredSettles",
                   Settings(1000, 60000, 7200000),
                   {{0, Act::Job, N},
                    {50, Act::Doubt, A, OutageEvent::None, State::Checking, true, 0},
                    {50, Act::Send, A, OutageEvent::None, State::Checking},
                    {80, Act::Probe, A, OutageEvent::Settle, State::Answering},
                    {90, Act::Job, N},
                    {90, Act::Job, N},
                    {90, Act::Job, A, OutageEvent::Settle, State::Answering}}},
        OutageCase{
            "ADoubtNotAnsweredGoesDownFromTheFirstFailure",
            Settings(1000, 60000, 7200000),
            {{0, Act::Job, N},
             {50, Act::Doubt, A, OutageEvent::None, State::Checking, true},
             {50, Act::Send, A, OutageEvent::None, State::Checking},
             {80, Act::Probe, N, OutageEvent::WentDown, State::Down, false, 1000, 80},
             {1080, Act::Send, A, OutageEvent::None, State::Down},
             {1500, Act::Probe, A, OutageEvent::CameBack, State::Answering, false, -1, 1500}}},
        // Failures while the probe is out are in doubt with the others.
        OutageCase{"FailuresDuringTheDoubtWaitForTheProbe",
                   Settings(1000, 60000, 7200000),
                   {{0, Act::Job, N},
                    {1, Act::Job, N},
                    {2, Act::Doubt, A, OutageEvent::None, State::Checking, true},
                    {2, Act::Send, A, OutageEvent::None, State::Checking},
                    {3, Act::Job, N, OutageEvent::None, State::Checking, false, 0},
                    {10, Act::Probe, N, OutageEvent::WentDown, State::Down, false, 1000, 10}}}),
    [](const testing::TestParamInfo<OutageCase>& info) { return std::string(info.param.name); });

TEST(DurationTextTest, ReadsAsTheLogSaysIt) {
    EXPECT_EQ(DurationText(0ms), "0 с");
    EXPECT_EQ(DurationText(59999ms), "59 с");
    EXPECT_EQ(DurationText(125s), "2 мин 05 с");
    EXPECT_EQ(DurationText(7200s), "2 ч 00 мин 00 с");
}

}  // namespace
}  // namespace korvalot::crawl
