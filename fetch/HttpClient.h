#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fetch/ClientProfiles.h"

namespace korvalot::fetch {

/// Where the value of one request header comes from.
enum class HeaderSource {
    Fixed,    // HeaderRule::value
    Host,     // the target's host, with the port only when it is not the scheme's default
    Referer,  // the caller's referer; the header is left out when that is empty
    Cookie,   // the client's cookies that apply to the target; left out when none does
};

struct HeaderRule {
    std::string name;
    HeaderSource source = HeaderSource::Fixed;
    std::string value;
};

/// Which limit watches the waiting: the worker's separate connect and read limits, or the
/// directory's one limit on time without any traffic.
enum class TimeLimitRule { ConnectAndRead, Idle };

/// What went wrong, before it is worded by the profile.
struct Failure {
    enum class Kind {
        BadAddress,           // text: the address
        TlsLibrary,           // the TLS library could not be initialised
        ClientCertificate,    // text: what could not be loaded and why
        ResolveFailed,        // number, text: the resolver's error
        SocketOpenFailed,     // number, text: the system error
        ConnectFailed,        // number, text: the system error
        ConnectTimeout,       // connect limit reached while connecting or in the TLS handshake
        ReadTimeout,          // read limit reached while sending or waiting for the answer
        IdleTimeout,          // idle limit reached anywhere
        SocketFailed,         // number, text: a system error after connecting
        TlsFailed,            // text: the TLS library's reason
        ClosedBeforeHeaders,  // the server closed before the status line and headers were complete
        CutBody,              // the server closed before the end of a framed body
        BadAnswer,            // text: why the answer is not HTTP
        BodyTooLarge,         // more than kMaxBodyBytes, raw or decoded
        CorruptEncoding,      // text: what was wrong with the compressed body
        Status,               // number: the status code; text: the status line; reason: its phrase
    };
    Kind kind = Kind::BadAddress;
    int number = 0;
    std::string text;
    std::string reason;
};

/// A fixed configuration of the client: everything in which the worker and directory profiles
/// differ.
struct HttpProfile {
    int version = 11;  // 11: HTTP/1.1, 10: HTTP/1.0
    std::vector<HeaderRule> headers;
    TimeLimitRule timeLimitRule = TimeLimitRule::ConnectAndRead;
    ClientLimits limits;
    bool keepConnection = true;  // reuse the connection for the next request to the same origin
    int maxRedirects = 14;       // one more redirect ends the get with an empty body
    bool (*isRedirect)(int status) = nullptr;     // an answer with this status and a Location
    bool (*isStatusError)(int status) = nullptr;  // after redirects are ruled out
    std::string (*message)(const Failure&) = nullptr;
    bool decodeContent = true;
    bool tlsCapAt12 = true;       // at most TLS 1.2, with every lower version the library has
    std::string certificateFile;  // a client certificate is loaded when this is not empty
    std::string keyFile;
    std::string passPhrase;
};

/// One HTTP/1.x client over TLS or plain TCP, run by a profile. Not thread-safe: each client
/// belongs to one thread.
class HttpClient {
public:
    explicit HttpClient(HttpProfile profile);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    /// The final answer's body. Raises ClientError worded by the profile.
    std::string Get(const std::string& address, const std::string& referer);
    std::int32_t LastStatusCode() const noexcept;
    /// The wait asked for by a Retry-After header of a 429 or 503 answer in the last get.
    std::optional<std::chrono::milliseconds> RetryAfter() const noexcept;
    void Close() noexcept;
    /// From any thread while the client lives: the get under way ends at once with an error,
    /// also while connecting or in the TLS handshake, and every later get fails the same way. A
    /// host name's lookup cannot be cut short: the get ends once the system's lookup returns.
    void Cancel() noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvalot::fetch
