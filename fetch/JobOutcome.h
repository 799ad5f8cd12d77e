#pragma once

#include <cstdint>
#include <string>

namespace korvalot::fetch {

/// Why the last attempt of a worker's job failed: what tells a register that is down as a whole
/// from an address of its own that fails.
enum class JobFailure : std::uint8_t {
    None,         ///< the job succeeded, or was stopped before an attempt failed
    Unreachable,  ///< no answer: connection refused or reset, time-out, TLS, an answer cut short
    Busy,         ///< an answer with a 5xx status or 429
    Refused,      ///< another error status, e.g. 404
    Unusable,     ///< an answer of no use: empty, or not a JSON object
    Other,        ///< the worker could not make its requests at all
};

/// Failures that say more about the register than about the job: it does not answer, or says
/// it cannot.
constexpr bool RegisterSide(JobFailure failure) {
    return failure == JobFailure::Unreachable || failure == JobFailure::Busy;
}

/// How a worker's job ended.
struct JobOutcome {
    enum class Kind : std::uint8_t {
        Success,  ///< every request of the job yielded an answer of the shape it reads
        Failed,   ///< a request failed its last attempt (or could not be made)
        Stopped,  ///< asked to terminate before the job was whole, without a failed attempt
    };
    /// What made a Failed job fail: the text of an error, or an answer that was of no use.
    enum class Fault : std::uint8_t {
        Error,        ///< message: the error's text
        Empty,        ///< an empty answer
        InvalidJson,  ///< an answer that is not a JSON object
        Unusable,     ///< an object without what its step reads
    };

    Kind kind = Kind::Stopped;
    Fault fault = Fault::Error;
    /// Error: the error's text. The other faults name the job (its address or guid).
    std::string message;
    /// Why the last failed attempt failed; None unless Failed.
    JobFailure failure = JobFailure::None;

    static JobOutcome Succeeded() { return {Kind::Success, Fault::Error, {}, JobFailure::None}; }
    static JobOutcome FailedWith(Fault fault, std::string message, JobFailure failure) {
        return {Kind::Failed, fault, std::move(message), failure};
    }
    bool Ok() const { return kind == Kind::Success; }
};

/// The outcome as a worker's log line shows it after the job: "успешно", "ERROR " + the
/// error, "ERROR_Empty response1 for " + the job, "ERROR_Invalid JSON response for " + the job,
/// "ERROR_Unusable response for " + the job. A stopped job shows as it stood before (nothing).
std::string StatusText(const JobOutcome& outcome);

}  // namespace korvalot::fetch
