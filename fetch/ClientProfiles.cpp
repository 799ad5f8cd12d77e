#include "fetch/ClientProfiles.h"

#include <utility>

#include "fetch/HttpClient.h"

namespace korvalot::fetch {
namespace {

using Kind = Failure::Kind;

const char* const kUserAgent =
    "Mozilla/5.0 (Windows NT 6.1; Win64; x64; rv:109.0) Gecko/20100101 Firefox/115.0";

std::string SocketErrorText(const Failure& f) {
    std::string text = f.text;
    if (text.empty() || text.back() != '.') {
        text += '.';
    }
    return "Socket Error # " + std::to_string(f.number) + "\r\n" + text;
}

// Failures both profiles word alike.
std::string CommonMessage(const Failure& f) {
    switch (f.kind) {
        case Kind::BadAddress:
            return "Invalid address: " + f.text;
        case Kind::TlsLibrary:
            return "Could not load SSL library.";
        case Kind::ClientCertificate:
            return f.text;
        case Kind::CutBody:
            return "Connection Closed Gracefully.";
        case Kind::BadAnswer:
            return "Invalid HTTP answer: " + f.text;
        case Kind::BodyTooLarge:
            return "Answer body larger than 256 MiB.";
        case Kind::CorruptEncoding:
            return "Could not decompress the answer: " + f.text;
        default:
            return f.text;
    }
}

std::string WorkerMessage(const Failure& f) {
    switch (f.kind) {
        case Kind::Status:
            return f.text;
        case Kind::ConnectTimeout:
            return "Connect timed out.";
        case Kind::ReadTimeout:
        case Kind::IdleTimeout:
            return "Read timed out.";
        case Kind::ResolveFailed:
        case Kind::SocketOpenFailed:
        case Kind::ConnectFailed:
        case Kind::SocketFailed:
            return SocketErrorText(f);
        case Kind::ClosedBeforeHeaders:
            return "Connection Closed Gracefully.";
        case Kind::TlsFailed:
            return "Error connecting with SSL.\r\n" + f.text;
        default:
            return CommonMessage(f);
    }
}

std::string DirectoryMessage(const Failure& f) {
    const std::string systemError = f.text + " (Error #" + std::to_string(f.number) + ")";
    switch (f.kind) {
        case Kind::Status:
            return f.reason;
        case Kind::ConnectTimeout:
        case Kind::ReadTimeout:
        case Kind::IdleTimeout:
            return "Request aborted on timeout";
        case Kind::ResolveFailed:
            return "can't resolve hostname to IP address";
        case Kind::SocketOpenFailed:
            return "can't connect: " + systemError;
        case Kind::ConnectFailed:
        case Kind::SocketFailed:
            return systemError;
        case Kind::ClosedBeforeHeaders:
            return "HTTP no status code (connection closed prematurely)";
        case Kind::TlsFailed:
            return "SSL handshake failed - " + f.text;
        default:
            return CommonMessage(f);
    }
}

HttpProfile WorkerProfile(const ClientLimits& limits) {
    HttpProfile p;
    p.version = 11;
    p.headers = {
        {"Host", HeaderSource::Host, {}},
        {"Accept", HeaderSource::Fixed,
         "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"},
        {"Accept-Encoding", HeaderSource::Fixed, "gzip, deflate"},
        {"Referer", HeaderSource::Referer, {}},
        {"User-Agent", HeaderSource::Fixed, kUserAgent},
        {"Cookie", HeaderSource::Cookie, {}},
    };
    p.timeLimitRule = TimeLimitRule::ConnectAndRead;
    p.limits = limits;
    p.keepConnection = true;
    p.maxRedirects = 14;
    p.isRedirect = [](int status) { return status >= 300 && status <= 399 && status != 304; };
    p.isStatusError = [](int status) { return (status < 200 || status > 299) && status != 101; };
    p.message = WorkerMessage;
    p.decodeContent = true;
    p.tlsCapAt12 = true;
    return p;
}

HttpProfile DirectoryProfile(const ClientLimits& limits) {
    HttpProfile p;
    p.version = 10;
    p.headers = {
        {"Accept", HeaderSource::Fixed, "text/html, */*"},
        {"Referer", HeaderSource::Referer, {}},
        {"User-Agent", HeaderSource::Fixed, kUserAgent},
        {"Host", HeaderSource::Host, {}},
    };
    p.timeLimitRule = TimeLimitRule::Idle;
    p.limits = limits;
    p.keepConnection = false;
    p.maxRedirects = 5;
    // Any answer that names a Location relocates, whatever its status.
    p.isRedirect = [](int) { return true; };
    p.isStatusError = [](int status) { return status >= 400 && status != 401 && status != 407; };
    p.message = DirectoryMessage;
    p.decodeContent = false;
    p.tlsCapAt12 = false;
    p.certificateFile = "01cert.pem";
    p.keyFile = "01key.pem";
    p.passPhrase = "lindorek";
    return p;
}

}  // namespace

WorkerClient::WorkerClient() : WorkerClient(ClientLimits{}) {}

WorkerClient::WorkerClient(const ClientLimits& limits)
    : client_(std::make_unique<HttpClient>(WorkerProfile(limits))) {}

WorkerClient::~WorkerClient() = default;

std::string WorkerClient::Get(const std::string& address, const std::string& referer) {
    return client_->Get(address, referer);
}

std::int32_t WorkerClient::LastStatusCode() const noexcept {
    return client_->LastStatusCode();
}

std::optional<std::chrono::milliseconds> WorkerClient::RetryAfter() const noexcept {
    return client_->RetryAfter();
}

void WorkerClient::Close() noexcept {
    client_->Close();
}

void WorkerClient::Cancel() noexcept {
    client_->Cancel();
}

DirectoryClient::DirectoryClient() : DirectoryClient(ClientLimits{}) {}

DirectoryClient::DirectoryClient(const ClientLimits& limits)
    : client_(std::make_unique<HttpClient>(DirectoryProfile(limits))) {}

DirectoryClient::~DirectoryClient() = default;

std::string DirectoryClient::Get(const std::string& address, const std::string& referer) {
    return client_->Get(address, referer);
}

void DirectoryClient::Cancel() noexcept {
    client_->Cancel();
}

}  // namespace korvalot::fetch
