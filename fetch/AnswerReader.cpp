#include "fetch/AnswerReader.h"

#include <cstdint>
#include <utility>

// Under the sanitizers GCC flags a boost::optional inside Beast's parser as maybe used
// uninitialised; it is not.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#pragma GCC diagnostic pop

#include "fetch/ContentDecoding.h"

namespace korvalot::fetch {
namespace {

namespace http = boost::beast::http;
using Kind = Failure::Kind;

// Servers of the register send cookies that outgrow the parser's default 8 KiB of header.
constexpr std::uint32_t kHeaderLimit = 1024 * 1024;

Failure Fail(Kind kind, std::string text = {}) {
    return Failure{kind, 0, std::move(text), {}};
}

// Whether the status line can be handed to the parser, and its parts. The parser needs a blank
// after the code; the reader inserts one when the server left the reason out.
struct StatusLine {
    int code = 0;
    std::string reason;
    bool needsBlank = false;
};

std::optional<StatusLine> ParseStatusLine(std::string_view line) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (line.size() < 12 || line.substr(0, 5) != "HTTP/" || !digit(line[5]) || line[6] != '.' ||
        !digit(line[7]) || line[8] != ' ' || !digit(line[9]) || !digit(line[10]) ||
        !digit(line[11])) {
        return std::nullopt;
    }
    StatusLine status;
    status.code = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    if (line.size() == 12) {
        status.needsBlank = true;
    } else if (line[12] != ' ') {
        return std::nullopt;
    } else {
        status.reason = std::string(line.substr(13));
    }
    return status;
}

std::string Text(boost::beast::string_view text) {
    return {text.data(), text.size()};
}

}  // namespace

struct AnswerReader::Impl {
    using Parser = http::response_parser<http::string_body>;

    Impl() { FreshParser(); }

    // A parser serves one message only; an interim answer needs a new one.
    void FreshParser() {
        parser.emplace();
        // Not eager until the head is read: an eager parser that finds the length above the
        // limit goes on into the body with the error set and makes room for all of it.
        parser->eager(false);
        parser->header_limit(kHeaderLimit);
        parser->body_limit(kMaxBodyBytes);
    }

    bool Advance() {
        for (;;) {
            if (!statusSeen) {
                const auto end = pending.find("\r\n");
                if (end == std::string::npos) {
                    if (pending.size() > kHeaderLimit) {
                        throw Fail(Kind::BadAnswer, "bad status line");
                    }
                    return false;
                }
                // The parser's reason() invents a phrase when the server sent none: the status
                // line is kept as it came.
                const std::string line = pending.substr(0, end);
                const auto status = ParseStatusLine(line);
                if (!status) {
                    throw Fail(Kind::BadAnswer, "bad status line");
                }
                if (status->needsBlank) {
                    pending.insert(end, " ");
                }
                answer.status = status->code;
                answer.statusLine = line;
                answer.reason = status->reason;
                statusSeen = true;
            }
            if (pending.empty()) {
                return false;
            }
            boost::system::error_code ec;
            const auto used = parser->put(boost::asio::buffer(pending), ec);
            pending.erase(0, used);
            if (ec == http::error::body_limit) {
                throw Fail(Kind::BodyTooLarge);
            }
            if (ec && ec != http::error::need_more) {
                throw Fail(Kind::BadAnswer, ec.message());
            }
            if (parser->is_header_done()) {
                const int status = parser->get().result_int();
                if (status / 100 == 1 && status != 101) {
                    FreshParser();
                    statusSeen = false;
                    continue;
                }
                parser->eager(true);
            }
            if (parser->is_done()) {
                return true;
            }
            if (used == 0 || pending.empty()) {
                return false;
            }
        }
    }

    std::optional<Parser> parser;
    Answer answer;
    std::string pending;  // received and not yet parsed
    bool statusSeen = false;
};

AnswerReader::AnswerReader() : impl_(std::make_unique<Impl>()) {}

AnswerReader::~AnswerReader() = default;

bool AnswerReader::Feed(std::string_view bytes) {
    impl_->pending.append(bytes);
    return impl_->Advance();
}

void AnswerReader::End() {
    if (!HeaderDone()) {
        throw Fail(Kind::ClosedBeforeHeaders);
    }
    // A body without length ends when the server closes; a framed one must be complete.
    boost::system::error_code ec;
    impl_->parser->put_eof(ec);
    if (ec) {
        throw Fail(Kind::CutBody);
    }
    impl_->answer.closed = true;
}

bool AnswerReader::HeaderDone() const {
    return impl_->statusSeen && impl_->parser->is_header_done();
}

int AnswerReader::LastStatus() const {
    return impl_->answer.status;
}

Answer AnswerReader::Take() {
    Answer answer = std::move(impl_->answer);
    auto& message = impl_->parser->get();
    for (const auto& field : message) {
        switch (field.name()) {
            case http::field::set_cookie:
                answer.setCookies.push_back(Text(field.value()));
                break;
            case http::field::content_encoding:
                answer.contentEncoding +=
                    (answer.contentEncoding.empty() ? "" : ", ") + Text(field.value());
                break;
            case http::field::location:
                if (!answer.location && !field.value().empty()) {
                    answer.location = Text(field.value());
                }
                break;
            case http::field::retry_after:
                if (!answer.retryAfter) {
                    answer.retryAfter = Text(field.value());
                }
                break;
            default:
                break;
        }
    }
    answer.keepAlive = impl_->parser->keep_alive();
    answer.leftover = !impl_->pending.empty();
    answer.body = std::move(message.body());
    return answer;
}

}  // namespace korvalot::fetch
