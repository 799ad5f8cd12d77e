#include "fetch/JobOutcome.h"

namespace korvalot::fetch {

std::string StatusText(const JobOutcome& outcome) {
    switch (outcome.kind) {
        case JobOutcome::Kind::Success:
            return "успешно";
        case JobOutcome::Kind::Stopped:
            return {};
        case JobOutcome::Kind::Failed:
            break;
    }
    switch (outcome.fault) {
        case JobOutcome::Fault::Error:
            return "ERROR " + outcome.message;
        case JobOutcome::Fault::Empty:
            return "ERROR_Empty response1 for " + outcome.message;
        case JobOutcome::Fault::InvalidJson:
            return "ERROR_Invalid JSON response for " + outcome.message;
        case JobOutcome::Fault::Unusable:
            return "ERROR_Unusable response for " + outcome.message;
    }
    return {};
}

}  // namespace korvalot::fetch
