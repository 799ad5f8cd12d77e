#include "fetch/AnswerShape.h"

namespace korvalot::fetch {

bool IsUsableAnswer(AnswerKind kind, const json::JsonValue& answer) {
    if (answer.IsNothing())
        return false;
    switch (kind) {
        case AnswerKind::SearchPage:
        case AnswerKind::LotsPage:
            return !answer.Member("pageData").IsNothing() &&
                   !answer.Member("pageData").AsArray().IsNothing();
        case AnswerKind::Card:
            for (const char* name : {"message", "debtor", "biddingPeriod"}) {
                if (!answer.Member(name).IsNothing())
                    return true;
            }
            return false;
        case AnswerKind::Additional:
            return !answer.Member("courtName").IsNothing();
    }
    return false;
}

}  // namespace korvalot::fetch
