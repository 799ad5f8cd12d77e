#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

// The two fixed configurations of the one HTTP/1.x client through which every byte exchanged
// with the register goes.
namespace korvalot::fetch {

/// A failed request. what() is the exact message the log shows: a status line such as
/// "HTTP/1.1 404 Not Found" (worker) or a reason phrase such as "Not Found" (directory),
/// "Connect timed out.", "Read timed out.", "Socket Error # <n>\r\n<text>.",
/// "Connection Closed Gracefully.", "Error connecting with SSL.\r\n<reason>",
/// "Request aborted on timeout", and the others of the profile tables.
class ClientError : public std::runtime_error {
public:
    /// status: the answer's status code when the failure is an error status; 0 when no answer
    /// came at all or it broke off (connection, TLS, time-out, a body cut short).
    explicit ClientError(const std::string& message, std::string host = {}, std::string reason = {},
                         std::int32_t status = 0)
        : std::runtime_error(message),
          host_(std::move(host)),
          reason_(std::move(reason)),
          status_(status) {}

    /// The host (with its port when not the scheme's) that the failed request went to; empty
    /// when no address could be read.
    const std::string& Host() const noexcept { return host_; }
    /// Why, on one line and in the system's words where the system gave any ("Connection
    /// refused", a resolver's or the TLS library's reason, "HTTP/1.1 404 Not Found").
    const std::string& Reason() const noexcept { return reason_; }
    std::int32_t Status() const noexcept { return status_; }

private:
    std::string host_;
    std::string reason_;
    std::int32_t status_ = 0;
};

/// The time limits of a profile. The product always uses the defaults; tests shorten them.
struct ClientLimits {
    std::chrono::milliseconds connect{30000};  // worker: to establish TCP and TLS
    std::chrono::milliseconds read{30000};     // worker: without data while an answer is awaited
    std::chrono::milliseconds idle{120000};    // directory: without any byte sent or received
};

class HttpClient;

/// One per fetch worker. Keeps its connection and cookies from one request to the next.
class WorkerClient {
public:
    WorkerClient();
    explicit WorkerClient(const ClientLimits& limits);
    ~WorkerClient();
    WorkerClient(const WorkerClient&) = delete;
    WorkerClient& operator=(const WorkerClient&) = delete;

    /// The final answer's body after content decoding. Raises ClientError.
    std::string Get(const std::string& address, const std::string& referer);
    /// The code of the last status line received by this client, -1 before any.
    std::int32_t LastStatusCode() const noexcept;
    /// How long a 429 or 503 answer of the last Get asked to be left alone (its Retry-After).
    std::optional<std::chrono::milliseconds> RetryAfter() const noexcept;
    /// Drops the connection; the next Get opens a new one.
    void Close() noexcept;
    /// From any thread while the client lives: the Get under way fails at once, and so does
    /// every later one.
    void Cancel() noexcept;

private:
    std::unique_ptr<HttpClient> client_;
};

/// For the one region-directory load. Presents "01cert.pem" and "01key.pem" of the working
/// directory when the server asks for a client certificate.
class DirectoryClient {
public:
    DirectoryClient();
    explicit DirectoryClient(const ClientLimits& limits);
    ~DirectoryClient();
    DirectoryClient(const DirectoryClient&) = delete;
    DirectoryClient& operator=(const DirectoryClient&) = delete;

    /// The body as received. Raises ClientError.
    std::string Get(const std::string& address, const std::string& referer);
    /// From any thread while the client lives: the Get under way fails at once, also while
    /// connecting or in the TLS handshake (a host name's lookup excepted, as for HttpClient).
    void Cancel() noexcept;

private:
    std::unique_ptr<HttpClient> client_;
};

}  // namespace korvalot::fetch
