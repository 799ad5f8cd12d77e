#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fetch/HttpClient.h"

namespace korvalot::fetch {

/// One complete answer, with what the client reads of its head.
struct Answer {
    int status = 0;
    std::string statusLine;               // as the server wrote it
    std::string reason;                   // the status line after the code and its blank
    std::string body;                     // as received: no content decoding
    std::optional<std::string> location;  // the first Location that is not empty
    std::string contentEncoding;          // every Content-Encoding, joined by ", "
    std::vector<std::string> setCookies;  // in the order received
    std::optional<std::string> retryAfter;
    bool keepAlive = false;  // the server lets the connection carry another request
    bool closed = false;     // the body ran to the end of the connection
    bool leftover = false;   // bytes came after the end of the answer
};

/// Reads one HTTP/1.x answer from the bytes of a connection as they arrive: the status line as
/// the server wrote it, interim 1xx answers other than 101 skipped, the body by its length, in
/// chunks, or up to the end of the connection. Raises Failure (BadAnswer, BodyTooLarge,
/// ClosedBeforeHeaders, CutBody).
class AnswerReader {
public:
    AnswerReader();
    ~AnswerReader();
    AnswerReader(const AnswerReader&) = delete;
    AnswerReader& operator=(const AnswerReader&) = delete;

    /// Takes the next bytes received; true once the answer is complete.
    bool Feed(std::string_view bytes);
    /// The server closed the connection cleanly: completes a body that runs to the end and
    /// raises for anything else that is incomplete.
    void End();
    /// Whether the head of the final answer has been read; a failure after it cuts a body.
    bool HeaderDone() const;
    /// The code of the last status line read, interim ones included; 0 before any.
    int LastStatus() const;
    /// The answer, once Feed returned true or End returned.
    Answer Take();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvalot::fetch
