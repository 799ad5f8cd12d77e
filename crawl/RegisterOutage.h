#pragma once

#include <chrono>
#include <string>

// A register that is down as a whole, told from a trade whose own address fails: the phase
// loop feeds it what each job and each probe met, and it says when the register went down, when
// to probe it, when it is back and when to stop waiting. Time comes in from outside, so that
// every step can be tried from a table.
namespace korvalot::crawl {

struct OutageSettings {
    // Jobs failing in a row without an answer from the register (no connection, 5xx, 429)
    // before it counts as down.
    int failuresInRow = 3;
    // The wait before the first probe; each probe that fails doubles it, up to probeCap.
    std::chrono::milliseconds firstProbe{1000};
    std::chrono::milliseconds probeCap{60000};
    // The longest outage waited out; a probe failing after it ends the wait.
    std::chrono::milliseconds limit = std::chrono::hours(2);
};

// What one job or probe met.
enum class RegisterReply {
    Answered,     // the register answered: a success, or a failure of the address asked
    NotAnswered,  // no connection, or an answer with a 5xx status or 429
};

// What the phase must do after a step.
enum class OutageEvent {
    None,
    Settle,    // the register answers: the jobs held in doubt failed on their own
    WentDown,  // a probe confirmed it: the register stopped answering; hold every job that failed
               // meanwhile
    CameBack,  // the register answers again: hand the held jobs out again, each as it was
    GaveUp,    // the register did not answer within the limit
};

struct OutageStep {
    OutageEvent event = OutageEvent::None;
    std::chrono::milliseconds downFor{0};  // CameBack and GaveUp: since the register stopped
};

class RegisterOutage {
public:
    using Clock = std::chrono::steady_clock;

    enum class State {
        Answering,  // jobs go out; failures in a row are counted
        Checking,   // several failed in a row, or one with nothing else under way: no job goes
                    // out, one probe decides
        Down,       // no job goes out; the register is probed at growing intervals
        Lost,       // the limit ran out
    };

    explicit RegisterOutage(OutageSettings settings = {}) : settings_(settings) {}

    // A job came back; while Down, its failure is held like the others. Several failures in a
    // row lead to Checking.
    OutageStep JobEnded(RegisterReply reply, Clock::time_point now);
    // Jobs failed in doubt and nothing else under way could tell whether the register answers:
    // a probe goes out at once.
    void Doubt(Clock::time_point now);
    // Whether a probe is to be sent now.
    bool ProbeDue(Clock::time_point now) const;
    void ProbeSent();
    OutageStep ProbeEnded(RegisterReply reply, Clock::time_point now);

    State Current() const { return state_; }
    // No job is to be handed out.
    bool Holding() const { return state_ != State::Answering; }
    // Register-side failures in a row since the register last answered.
    int FailuresInRow() const { return failures_; }
    // Since when the register has not answered (the first failure in a row).
    std::chrono::milliseconds DownFor(Clock::time_point now) const;
    // Until the next probe may go out; zero while one is under way or due.
    std::chrono::milliseconds NextProbeIn(Clock::time_point now) const;
    const OutageSettings& Settings() const { return settings_; }

private:
    OutageStep Answered(Clock::time_point now);
    OutageStep GoDown(Clock::time_point now);

    OutageSettings settings_;
    State state_ = State::Answering;
    int failures_ = 0;
    Clock::time_point since_{};
    std::chrono::milliseconds wait_{0};
    Clock::time_point nextProbe_{};
    bool probing_ = false;
};

// What the phase tells its run while the register does not answer.
struct RegisterWait {
    bool waiting = false;               // false: the register answers again, or the wait is over
    std::chrono::milliseconds down{0};  // since the register stopped answering
    std::chrono::milliseconds nextProbe{0};  // until the next probe; zero while one is under way
};

// "2 мин 05 с": a stretch of time as the log gives it.
std::string DurationText(std::chrono::milliseconds duration);

}  // namespace korvalot::crawl
