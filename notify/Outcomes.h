#pragma once

#include <string>
#include <string_view>

#include "notify/Channel.h"
#include "notify/CurlTransfer.h"

// How the channels word their outcomes, so that every channel's line reads alike.
namespace korvalot::notify {

inline DeliveryOutcome Delivered() {
    return {DeliveryOutcome::Kind::Delivered, {}};
}

// A transfer that reached no answer: Failed (try later) or Refused (fix the settings), with
// libcurl's words, the secret taken out of them.
DeliveryOutcome TransferFailure(const std::string& channel, const TransferResult& result,
                                std::string_view secret);

// An HTTP answer: 2xx delivered; 429 and 5xx failed, to be tried later; any other refused.
// `detail` is what the server said about it, in one line.
DeliveryOutcome HttpAnswer(const std::string& channel, const TransferResult& result,
                           const std::string& detail, std::string_view secret);

}  // namespace korvalot::notify
