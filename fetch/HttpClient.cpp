// With AnswerReader.cpp the only translation units that include Boost.Beast and Boost.Asio: they
// are slow to compile.
#include "fetch/HttpClient.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>

// Under the sanitizers GCC flags boost::optional members inside Beast as maybe used
// uninitialised; they are not.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#pragma GCC diagnostic pop

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include "fetch/AnswerReader.h"
#include "fetch/ContentDecoding.h"
#include "fetch/CookieJar.h"
#include "fetch/RetryAfter.h"
#include "fetch/Url.h"

namespace korvalot::fetch {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = asio::ssl;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Kind = Failure::Kind;

// Waiting for the server's answer to our TLS close message is a courtesy, never a delay.
constexpr auto kShutdownLimit = 500ms;
constexpr std::size_t kReadChunk = 64 * 1024;

// Raised inside a get and worded by the profile at its boundary.
Failure Fail(Kind kind, int number = 0, std::string text = {}) {
    return Failure{kind, number, std::move(text), {}};
}

// The failure on one line, in the system's words where it gave any.
std::string ReasonText(const Failure& f, const ClientLimits& limits, TimeLimitRule rule) {
    const auto seconds = [](std::chrono::milliseconds limit) {
        return std::to_string((limit.count() + 999) / 1000);
    };
    std::string text;
    switch (f.kind) {
        case Kind::ConnectTimeout:
            text = "no connection within " +
                   seconds(rule == TimeLimitRule::Idle ? limits.idle : limits.connect) + " s";
            break;
        case Kind::ReadTimeout:
            text = "no answer within " + seconds(limits.read) + " s";
            break;
        case Kind::IdleTimeout:
            text = "no answer within " + seconds(limits.idle) + " s";
            break;
        case Kind::ClosedBeforeHeaders:
            text = "connection closed before the answer";
            break;
        case Kind::CutBody:
            text = "connection closed in the middle of the answer";
            break;
        case Kind::Status:
            text = f.text;  // the status line
            break;
        default:
            text = f.text.empty() ? "unknown error" : f.text;
            break;
    }
    for (char& c : text) {
        if (c == '\r' || c == '\n')
            c = ' ';
    }
    return text;
}

bool TlsLibraryReady() {
    // A function-local static is initialised exactly once even when several workers make their
    // first request at the same moment.
    static const bool ready =
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                         nullptr) == 1;
    return ready;
}

// The first error the TLS library queued on this thread. OpenSSL 3 wraps the system's error
// (a missing file) into its own code; that is unwrapped into the system's words.
std::string OpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown error";
    }
    if (ERR_SYSTEM_ERROR(code)) {
        return std::system_category().message(static_cast<int>(ERR_GET_REASON(code)));
    }
    if (const char* reason = ERR_reason_error_string(code)) {
        return reason;
    }
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    return text.data();
}

int PassPhraseCallback(char* buffer, int size, int /*rwflag*/, void* userdata) {
    const auto* phrase = static_cast<const std::string*>(userdata);
    const int length = std::min(size, static_cast<int>(phrase->size()));
    std::copy_n(phrase->data(), length, buffer);
    return length;
}

bool IsEndOfStream(const error_code& ec) {
    // A server that closes without a TLS close message reports stream_truncated instead.
    return ec == asio::error::eof || ec == ssl::error::stream_truncated;
}

std::string TlsReason(const error_code& ec) {
    if (IsEndOfStream(ec)) {
        return "unexpected eof while reading";
    }
    if (ec.category() == asio::error::get_ssl_category()) {
        const auto code = static_cast<unsigned long>(static_cast<unsigned int>(ec.value()));
        if (const char* reason = ERR_reason_error_string(code)) {
            return reason;
        }
    }
    return ec.message();
}

// The TLS context of one profile, made once for the whole process, and the sessions of its
// connections by host and port, so that a worker's new client resumes the session an earlier
// worker negotiated instead of making a full handshake. Only the context and the sessions are
// shared: every client still opens and owns its connections.
class SharedTls {
public:
    // Raises the failure of the TLS library when it cannot be set up.
    static SharedTls& For(bool capAt12) {
        static std::mutex mutex;
        // Never freed: it lives as long as the process, and freeing it at exit would have to come
        // after the last client of every program and test that uses it, for nothing gained.
        static std::array<SharedTls*, 2> made{};
        std::lock_guard lock(mutex);
        SharedTls*& entry = made[capAt12 ? 1 : 0];
        if (entry == nullptr) {
            if (!TlsLibraryReady()) {
                throw Fail(Kind::TlsLibrary);
            }
            entry = new SharedTls(capAt12);
        }
        return *entry;
    }

    ssl::context& Context() { return context_; }

    // Before the handshake of `handle`, a connection to `origin`.
    void Prepare(SSL* handle, const std::string& origin) {
        SSL_set_ex_data(handle, OriginIndex(), new std::string(origin));
        std::lock_guard lock(mutex_);
        const auto found = sessions_.find(origin);
        if (found != sessions_.end() && SSL_SESSION_is_resumable(found->second) == 1) {
            SSL_set_session(handle, found->second);
        }
    }

    SharedTls(const SharedTls&) = delete;
    SharedTls& operator=(const SharedTls&) = delete;

private:
    explicit SharedTls(bool capAt12) : context_(MakeContext(capAt12)) {
        SSL_CTX* handle = context_.native_handle();
        SSL_CTX_set_ex_data(handle, OwnerIndex(), this);
        // The library keeps no client sessions of its own: they are looked up by origin here.
        SSL_CTX_set_session_cache_mode(handle,
                                       SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(handle, &SharedTls::OnNewSession);
    }

    static ssl::context MakeContext(bool capAt12) {
        try {
            ssl::context context(ssl::context::tls_client);
            SSL_CTX* handle = context.native_handle();
            // Any certificate is accepted: the register is reached by its address, and a
            // harvest of public data must not stop at an expired or self-made certificate.
            context.set_verify_mode(ssl::verify_none);
            // Every version the library has, down to the oldest, so that a server stuck on an
            // old one is still reached; the worker stops at TLS 1.2 as its counterpart did.
            SSL_CTX_set_min_proto_version(handle, 0);
            SSL_CTX_set_max_proto_version(handle, capAt12 ? TLS1_2_VERSION : 0);
            // Above security level 0 the library refuses its own older versions and their
            // signature algorithms ("legacy sigalg disallowed").
            SSL_CTX_set_cipher_list(handle, "DEFAULT:@SECLEVEL=0");
            return context;
        } catch (const boost::system::system_error&) {
            throw Fail(Kind::TlsLibrary);
        }
    }

    static int OwnerIndex() {
        static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
        return index;
    }

    static void FreeOrigin(void* /*parent*/, void* origin, CRYPTO_EX_DATA* /*data*/, int /*index*/,
                           long /*argl*/, void* /*argp*/) {
        delete static_cast<std::string*>(origin);
    }

    static int OriginIndex() {
        static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeOrigin);
        return index;
    }

    // Called by the library whenever a connection receives a session it could resume later
    // (with TLS 1.3 that may be after the handshake, while reading an answer).
    static int OnNewSession(SSL* handle, SSL_SESSION* session) {
        auto* owner =
            static_cast<SharedTls*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(handle), OwnerIndex()));
        const auto* origin =
            static_cast<const std::string*>(SSL_get_ex_data(handle, OriginIndex()));
        if (owner == nullptr || origin == nullptr) {
            return 0;
        }
        std::lock_guard lock(owner->mutex_);
        SSL_SESSION*& kept = owner->sessions_[*origin];
        if (kept != nullptr) {
            SSL_SESSION_free(kept);
        }
        kept = session;
        return 1;  // the reference is ours now
    }

    ssl::context context_;
    std::mutex mutex_;
    std::map<std::string, SSL_SESSION*> sessions_;
};

}  // namespace

struct HttpClient::Impl {
    using TlsStream = ssl::stream<beast::tcp_stream>;

    explicit Impl(HttpProfile p) : profile(std::move(p)), readBuffer(kReadChunk) {}

    ~Impl() { Drop(healthy); }

    HttpProfile profile;
    // Declared first so that it outlives every object whose handlers it may still hold.
    asio::io_context ioc;
    asio::ip::tcp::resolver resolver{ioc};
    SharedTls* tls = nullptr;           // the profile's, once the first https connection is made
    std::unique_ptr<TlsStream> secure;  // the open connection when it is https
    std::unique_ptr<beast::tcp_stream> plain;  // the open connection when it is http
    // The connection being made, until it is ready: held here, not in Connect's frame, so that
    // an abort can close it while it connects or shakes hands.
    std::unique_ptr<TlsStream> connectingSecure;
    std::unique_ptr<beast::tcp_stream> connectingPlain;
    // Set by another thread (Cancel); the client's own thread closes its sockets on seeing it.
    std::atomic<bool> cancelled{false};
    // The host the current request goes to, for the caller's failure report.
    std::string host;
    Url peer;              // whom the open connection leads to
    bool healthy = false;  // the open connection ended its last exchange cleanly
    CookieJar cookies;
    std::int32_t lastStatus = -1;
    std::optional<std::chrono::milliseconds> retryAfter;  // of the last 429 or 503 of this get
    std::vector<char> readBuffer;

    // --- waiting --------------------------------------------------------------------------

    // Runs the client's own io_context on the calling thread until `done`. Beast's blocking
    // calls know no time limits; its asynchronous ones honour expires_after.
    void Pump(const bool& done) {
        while (!done) {
            if (cancelled.load()) {
                Abort();
            }
            ioc.run_one();
            if (ioc.stopped()) {
                ioc.restart();
            }
        }
    }

    // Starts an operation whose handler takes (error_code) and waits for it.
    template <class Start>
    error_code Await(Start&& start) {
        bool done = false;
        error_code result;
        start([&](error_code ec, auto&&...) {
            result = ec;
            done = true;
        });
        Pump(done);
        return result;
    }

    // The same for an operation whose handler takes (error_code, bytes).
    template <class Start>
    std::pair<error_code, std::size_t> AwaitBytes(Start&& start) {
        bool done = false;
        error_code result;
        std::size_t bytes = 0;
        start([&](error_code ec, std::size_t n) {
            result = ec;
            bytes = n;
            done = true;
        });
        Pump(done);
        return {result, bytes};
    }

    beast::tcp_stream& Tcp() { return secure ? secure->next_layer() : *plain; }

    template <class F>
    void WithStream(F&& f) {
        if (secure) {
            f(*secure);
        } else {
            f(*plain);
        }
    }

    void ArmConnect(beast::tcp_stream& tcp, Clock::time_point deadline) {
        if (profile.timeLimitRule == TimeLimitRule::ConnectAndRead) {
            tcp.expires_at(deadline);
        } else {
            tcp.expires_after(profile.limits.idle);
        }
    }

    void ArmRead() {
        Tcp().expires_after(profile.timeLimitRule == TimeLimitRule::ConnectAndRead
                                ? profile.limits.read
                                : profile.limits.idle);
    }

    Kind TimeoutKind(bool connecting) const {
        if (profile.timeLimitRule == TimeLimitRule::Idle) {
            return Kind::IdleTimeout;
        }
        return connecting ? Kind::ConnectTimeout : Kind::ReadTimeout;
    }

    // --- connection ----------------------------------------------------------------------

    void Abort() noexcept {
        error_code ignored;
        resolver.cancel();
        if (secure || plain) {
            Tcp().socket().close(ignored);
        }
        if (connectingSecure) {
            connectingSecure->next_layer().socket().close(ignored);
        }
        if (connectingPlain) {
            connectingPlain->socket().close(ignored);
        }
    }

    // Closes the connection; a healthy TLS connection first says goodbye with a close message.
    // `clean`: the last answer was read whole, so the TLS session stays good for resuming; the
    // library gives up the session of any other connection that ends without a close message.
    void Drop(bool graceful, bool clean = false) noexcept {
        if (!secure && !plain) {
            return;
        }
        if (secure && !graceful && clean) {
            SSL_set_shutdown(secure->native_handle(), SSL_SENT_SHUTDOWN);
        }
        if (secure && graceful) {
            try {
                secure->next_layer().expires_after(
                    std::min<Clock::duration>(profile.limits.read, kShutdownLimit));
                // Whether the server answered the close message or not, the socket goes.
                Await([&](auto handler) { secure->async_shutdown(handler); });
            } catch (...) {
            }
        }
        error_code ignored;
        Tcp().socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        Tcp().socket().close(ignored);
        secure.reset();
        plain.reset();
        healthy = false;
    }

    // Whether the kept connection still leads to `url` and the server has neither closed it nor
    // sent anything unasked (such as a TLS close message) since the last answer.
    bool CanReuse(const Url& url) {
        if (!secure && !plain) {
            return false;
        }
        const bool sameOrigin = healthy && peer.scheme == url.scheme && peer.port == url.port &&
                                beast::iequals(peer.host, url.host);
        if (!sameOrigin) {
            Drop(healthy);
            return false;
        }
        char byte;
        const auto n = ::recv(Tcp().socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        Drop(false);
        return false;
    }

    // Loads the profile's client certificate into one connection. Read anew for every
    // connection, so that a missing or broken file fails the get that needs it.
    void LoadClientCertificate(SSL* handle) {
        ERR_clear_error();
        SSL_set_default_passwd_cb(handle, PassPhraseCallback);
        SSL_set_default_passwd_cb_userdata(handle, &profile.passPhrase);
        // The pass phrase is needed only while loading.
        struct Reset {
            SSL* handle;
            ~Reset() {
                SSL_set_default_passwd_cb(handle, nullptr);
                SSL_set_default_passwd_cb_userdata(handle, nullptr);
            }
        } reset{handle};
        if (SSL_use_certificate_chain_file(handle, profile.certificateFile.c_str()) != 1) {
            throw Fail(Kind::ClientCertificate, 0,
                       "Could not load the client certificate \"" + profile.certificateFile +
                           "\": " + OpenSslError());
        }
        if (SSL_use_PrivateKey_file(handle, profile.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_check_private_key(handle) != 1) {
            throw Fail(
                Kind::ClientCertificate, 0,
                "Could not load the client key \"" + profile.keyFile + "\": " + OpenSslError());
        }
    }

    std::vector<asio::ip::tcp::endpoint> Resolve(const Url& url) {
        if (url.IsIpLiteral()) {
            return {asio::ip::tcp::endpoint(asio::ip::make_address(url.host), url.port)};
        }
        bool done = false;
        error_code result;
        std::vector<asio::ip::tcp::endpoint> endpoints;
        resolver.async_resolve(url.host, std::to_string(url.port),
                               asio::ip::tcp::resolver::numeric_service,
                               [&](error_code ec, asio::ip::tcp::resolver::results_type found) {
                                   result = ec;
                                   for (const auto& entry : found) {
                                       endpoints.push_back(entry.endpoint());
                                   }
                                   done = true;
                               });
        Pump(done);
        if (result) {
            throw Fail(Kind::ResolveFailed, result.value(), result.message());
        }
        return endpoints;
    }

    void Connect(const Url& url) {
        const auto deadline = Clock::now() + profile.limits.connect;
        // A TLS connection is set up before any byte goes out, so that a client certificate
        // that cannot be loaded fails the get without troubling the server.
        struct Connecting {
            Impl& impl;
            ~Connecting() {
                impl.connectingSecure.reset();
                impl.connectingPlain.reset();
            }
        } connecting{*this};
        std::unique_ptr<TlsStream>& stream = connectingSecure;
        std::unique_ptr<beast::tcp_stream>& tcp = connectingPlain;
        if (url.IsSecure()) {
            if (tls == nullptr) {
                tls = &SharedTls::For(profile.tlsCapAt12);
            }
            stream = std::make_unique<TlsStream>(ioc, tls->Context());
            SSL* handle = stream->native_handle();
            // A name, never an address, goes into the server name indication (RFC 6066).
            if (!url.IsIpLiteral() && SSL_set_tlsext_host_name(handle, url.host.c_str()) != 1) {
                throw Fail(Kind::TlsFailed, 0, OpenSslError());
            }
            if (!profile.certificateFile.empty()) {
                LoadClientCertificate(handle);
            }
            tls->Prepare(handle, url.host + ":" + std::to_string(url.port));
        } else {
            tcp = std::make_unique<beast::tcp_stream>(ioc);
        }
        beast::tcp_stream& transport = stream ? stream->next_layer() : *tcp;

        const auto endpoints = Resolve(url);
        error_code failure = asio::error::host_not_found;
        for (const auto& endpoint : endpoints) {
            error_code ec;
            transport.socket().close(ec);
            transport.socket().open(endpoint.protocol(), ec);
            if (ec) {
                throw Fail(Kind::SocketOpenFailed, ec.value(), ec.message());
            }
            ArmConnect(transport, deadline);
            failure = Await([&](auto handler) { transport.async_connect(endpoint, handler); });
            if (!failure || failure == beast::error::timeout) {
                break;
            }
        }
        if (failure == beast::error::timeout) {
            throw Fail(TimeoutKind(true));
        }
        if (failure) {
            throw Fail(Kind::ConnectFailed, failure.value(), failure.message());
        }
        // A resumed handshake ends with our own Finished message, and the request follows it at
        // once: without this the request would wait for the server's delayed acknowledgement.
        error_code ignored;
        transport.socket().set_option(asio::ip::tcp::no_delay(true), ignored);

        if (!stream) {
            plain = std::move(tcp);
        } else {
            ArmConnect(transport, deadline);
            const error_code ec = Await(
                [&](auto handler) { stream->async_handshake(ssl::stream_base::client, handler); });
            if (ec == beast::error::timeout) {
                throw Fail(TimeoutKind(true));
            }
            if (ec && ec.category() == boost::system::system_category()) {
                throw Fail(Kind::SocketFailed, ec.value(), ec.message());
            }
            if (ec) {
                throw Fail(Kind::TlsFailed, 0, TlsReason(ec));
            }
            secure = std::move(stream);
        }
        peer = url;
    }

    // --- exchange ------------------------------------------------------------------------

    std::string RequestHead(const Url& url, const std::string& referer) const {
        std::string head =
            "GET " + url.Target() + (profile.version == 10 ? " HTTP/1.0" : " HTTP/1.1") + "\r\n";
        for (const auto& rule : profile.headers) {
            std::string value;
            switch (rule.source) {
                case HeaderSource::Fixed:
                    value = rule.value;
                    break;
                case HeaderSource::Host:
                    value = url.HostHeader();
                    break;
                case HeaderSource::Referer:
                    value = referer;
                    break;
                case HeaderSource::Cookie:
                    value = cookies.HeaderFor(url);
                    break;
            }
            if (value.empty() && rule.source != HeaderSource::Fixed) {
                continue;
            }
            head += rule.name + ": " + value + "\r\n";
        }
        return head + "\r\n";
    }

    Failure TransportFailure(const error_code& ec, bool headerDone) {
        if (ec == beast::error::timeout) {
            return Fail(TimeoutKind(false));
        }
        if (IsEndOfStream(ec)) {
            return Fail(headerDone ? Kind::CutBody : Kind::ClosedBeforeHeaders);
        }
        if (ec.category() == boost::system::system_category()) {
            return Fail(Kind::SocketFailed, ec.value(), ec.message());
        }
        return Fail(Kind::TlsFailed, 0, TlsReason(ec));
    }

    void Send(const std::string& head) {
        ArmRead();
        std::pair<error_code, std::size_t> result;
        WithStream([&](auto& stream) {
            result = AwaitBytes(
                [&](auto handler) { asio::async_write(stream, asio::buffer(head), handler); });
        });
        if (result.first) {
            throw TransportFailure(result.first, false);
        }
    }

    Answer ReadAnswer(const Url& url) {
        AnswerReader reader;
        // The status code counts as soon as its line is read, even when the answer fails later.
        struct Note {
            const AnswerReader& reader;
            std::int32_t& lastStatus;
            ~Note() {
                if (reader.LastStatus() != 0) {
                    lastStatus = reader.LastStatus();
                }
            }
        } note{reader, lastStatus};
        for (;;) {
            ArmRead();
            std::pair<error_code, std::size_t> result;
            WithStream([&](auto& stream) {
                result = AwaitBytes([&](auto handler) {
                    stream.async_read_some(asio::buffer(readBuffer), handler);
                });
            });
            const auto [ec, n] = result;
            if (!ec) {
                if (reader.Feed(std::string_view(readBuffer.data(), n))) {
                    break;
                }
                continue;
            }
            if (!IsEndOfStream(ec) || !reader.HeaderDone()) {
                throw TransportFailure(ec, reader.HeaderDone());
            }
            reader.End();
            break;
        }

        Answer answer = reader.Take();
        for (const auto& cookie : answer.setCookies) {
            cookies.Store(cookie, url);
        }
        if (answer.retryAfter && (answer.status == 429 || answer.status == 503)) {
            retryAfter = ParseRetryAfter(*answer.retryAfter, std::chrono::system_clock::now());
        }
        return answer;
    }

    // A kept connection that the server closes just as the request goes out fails this get
    // like any other failure: the caller's next attempt opens a new connection. Re-sent here
    // unseen, the server would count one more request than the caller made attempts.
    Answer Exchange(const Url& url, const std::string& referer) {
        const std::string head = RequestHead(url, referer);
        if (!CanReuse(url)) {
            Connect(url);
        }
        healthy = false;
        try {
            Send(head);
            Answer answer = ReadAnswer(url);
            // A 101 hands the connection over to another protocol: it is not HTTP any more.
            if (profile.keepConnection && !answer.closed && answer.keepAlive && !answer.leftover &&
                answer.status != 101) {
                healthy = true;
            } else {
                Drop(false, true);
            }
            return answer;
        } catch (const Failure&) {
            Drop(false);
            throw;
        }
    }

    std::string Fetch(const std::string& address, const std::string& referer) {
        host.clear();
        std::string current = address;
        auto url = Url::Parse(current);
        if (!url) {
            throw Fail(Kind::BadAddress, 0, address);
        }
        if (std::any_of(referer.begin(), referer.end(),
                        [](unsigned char c) { return c < 0x20 || c == 0x7F; })) {
            throw Fail(Kind::BadAddress, 0, referer);
        }
        for (int redirects = 0;;) {
            host = url->HostHeader();
            Answer answer = Exchange(*url, referer);
            if (answer.location && profile.isRedirect(answer.status)) {
                if (++redirects > profile.maxRedirects) {
                    return {};
                }
                current = ResolveReference(current, *answer.location);
                url = Url::Parse(current);
                if (!url) {
                    throw Fail(Kind::BadAddress, 0, current);
                }
                continue;
            }
            if (profile.isStatusError(answer.status)) {
                throw Failure{Kind::Status, answer.status, answer.statusLine, answer.reason};
            }
            if (!profile.decodeContent) {
                return std::move(answer.body);
            }
            DecodedBody decoded = DecodeContent(answer.contentEncoding, std::move(answer.body));
            switch (decoded.status) {
                case DecodedBody::Status::Ok:
                    return std::move(decoded.body);
                case DecodedBody::Status::TooLarge:
                    throw Fail(Kind::BodyTooLarge);
                case DecodedBody::Status::Corrupt:
                    throw Fail(Kind::CorruptEncoding, 0, decoded.error);
            }
        }
    }
};

HttpClient::HttpClient(HttpProfile profile) : impl_(std::make_unique<Impl>(std::move(profile))) {}

HttpClient::~HttpClient() = default;

std::string HttpClient::Get(const std::string& address, const std::string& referer) {
    impl_->retryAfter.reset();
    try {
        if (impl_->cancelled.load()) {
            throw Fail(Kind::SocketFailed, ECANCELED, std::system_category().message(ECANCELED));
        }
        return impl_->Fetch(address, referer);
    } catch (const Failure& failure) {
        throw ClientError(impl_->profile.message(failure), impl_->host,
                          ReasonText(failure, impl_->profile.limits, impl_->profile.timeLimitRule),
                          failure.kind == Kind::Status ? failure.number : 0);
    }
}

std::int32_t HttpClient::LastStatusCode() const noexcept {
    return impl_->lastStatus;
}

std::optional<std::chrono::milliseconds> HttpClient::RetryAfter() const noexcept {
    return impl_->retryAfter;
}

void HttpClient::Close() noexcept {
    impl_->Drop(impl_->healthy);
}

void HttpClient::Cancel() noexcept {
    impl_->cancelled.store(true);
    try {
        // Wakes the client's thread wherever it waits; it closes its own sockets, so the
        // streams are never touched by two threads.
        asio::post(impl_->ioc, [] {});
    } catch (...) {
    }
}

}  // namespace korvalot::fetch
