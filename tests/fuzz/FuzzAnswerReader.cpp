// The answer reader on whatever bytes a server sends, without a connection: every input ends in
// an answer or a Failure, never anything else, and whether it is an answer, and which, does not
// depend on how the bytes are cut into the reads that deliver them. (Which failure may: a head
// that is both malformed and cut short is found malformed only when the parser sees the bad
// bytes in one piece with what precedes them.)
//
// Input: one byte that chooses the size of the pieces (1 to 256 bytes), then the bytes the
// server sends before it closes the connection.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "fetch/AnswerReader.h"
#include "fetch/ContentDecoding.h"

namespace {

using korvalot::fetch::Answer;
using korvalot::fetch::AnswerReader;
using korvalot::fetch::Failure;

struct Outcome {
    std::optional<Answer> answer;
    std::optional<Failure::Kind> failure;
};

Outcome Read(std::string_view bytes, std::size_t piece) {
    AnswerReader reader;
    Outcome outcome;
    try {
        bool complete = false;
        for (std::size_t at = 0; at < bytes.size() && !complete; at += piece) {
            complete = reader.Feed(bytes.substr(at, piece));
        }
        if (!complete) {
            reader.End();
        }
        outcome.answer = reader.Take();
    } catch (const Failure& failure) {
        outcome.failure = failure.kind;
    }
    return outcome;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "answer reader: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t piece = std::size_t{data[0]} + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const Outcome whole = Read(bytes, bytes.size() + 1);
    const Outcome pieces = Read(bytes, piece);
    if (whole.answer.has_value() != pieces.answer.has_value())
        Fail("the outcome depends on how the bytes arrive");
    if (!whole.answer)
        return 0;
    const Answer& a = *whole.answer;
    const Answer& b = *pieces.answer;
    if (a.status != b.status || a.statusLine != b.statusLine || a.body != b.body ||
        a.keepAlive != b.keepAlive || a.closed != b.closed || a.setCookies != b.setCookies ||
        a.location != b.location || a.contentEncoding != b.contentEncoding)
        Fail("the answer depends on how the bytes arrive");
    // Any three digits are a code here; the profiles judge what a code below 100 means.
    if (a.status < 0 || a.status > 999 || a.statusLine.rfind("HTTP/", 0) != 0 ||
        a.statusLine.substr(9, 3) != std::to_string(1000 + a.status).substr(1))
        Fail("an answer without its status line");
    if (a.status / 100 == 1 && a.status != 101)
        Fail("an interim answer taken for the answer");
    if (a.body.size() > korvalot::fetch::kMaxBodyBytes)
        Fail("a body above the limit");
    return 0;
}
