#pragma once

#include "json/JsonValue.h"

// Whether a parsed answer can serve the step that asked for it. An answer of the wrong shape (a
// page without its list, a card with none of the members read from it) is as useless as an
// empty one and is tried again the same way, instead of passing for a page without trades or a
// card without data.
namespace korvalot::fetch {

enum class AnswerKind { SearchPage, LotsPage, Card, Additional };

// A search page and a page of lots: a "pageData" array. A card: at least one of "message",
// "debtor", "biddingPeriod". Additional data: "courtName". A member is there whatever its value,
// null included.
bool IsUsableAnswer(AnswerKind kind, const json::JsonValue& answer);

}  // namespace korvalot::fetch
