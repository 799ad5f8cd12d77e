#include "notify/Outcomes.h"

#include "notify/NewsText.h"

namespace korvalot::notify {

DeliveryOutcome TransferFailure(const std::string& channel, const TransferResult& result,
                                std::string_view secret) {
    const std::string why = Redact(FirstLine(result.error), secret);
    if (result.kind == TransferResult::Kind::Permanent) {
        return {DeliveryOutcome::Kind::Refused,
                channel + ": не отправлено, нужно исправить настройки: " + why};
    }
    return {DeliveryOutcome::Kind::Failed, channel + ": не отправлено, повтор позже: " + why};
}

DeliveryOutcome HttpAnswer(const std::string& channel, const TransferResult& result,
                           const std::string& detail, std::string_view secret) {
    if (result.kind != TransferResult::Kind::Answered) {
        return TransferFailure(channel, result, secret);
    }
    if (result.status >= 200 && result.status < 300) {
        return Delivered();
    }
    std::string text = channel + ": сервер ответил " + std::to_string(result.status);
    const std::string said = Redact(FirstLine(detail), secret);
    if (!said.empty()) {
        text += ": " + said;
    }
    if (result.status == 429 || result.status >= 500) {
        return {DeliveryOutcome::Kind::Failed, text + "; повтор позже"};
    }
    return {DeliveryOutcome::Kind::Refused, text};
}

}  // namespace korvalot::notify
