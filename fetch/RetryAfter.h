#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace korvalot::fetch {

/// The wait a Retry-After header value asks for: a number of seconds, or an HTTP date (the
/// fixed form "Sun, 06 Nov 1994 08:49:37 GMT" and the two obsolete ones) taken against `now`.
/// A date in the past asks for no wait; a value of neither form for nothing at all.
std::optional<std::chrono::milliseconds> ParseRetryAfter(std::string_view value,
                                                         std::chrono::system_clock::time_point now);

}  // namespace korvalot::fetch
