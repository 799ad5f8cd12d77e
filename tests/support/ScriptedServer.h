#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A small HTTP server on 127.0.0.1 whose every answer is scripted by the test, byte by byte,
// with pauses and the three ways of ending a connection. Over TLS by default, with a
// certificate made when the process first needs one.
namespace korvalot::testing {

// What the server does after it has read a request head.
class Reply {
public:
    struct Action {
        enum class Kind { Send, Pause, Close, Drop, Reset };
        Kind kind = Kind::Send;
        std::string bytes;
        std::chrono::milliseconds delay{0};
    };

    Reply& Send(std::string bytes);
    Reply& Pause(std::chrono::milliseconds delay);
    // The bytes one at a time, each followed by the gap.
    Reply& Trickle(std::string_view bytes, std::chrono::milliseconds gap);
    // Ends the connection with a TLS close message, then the TCP close.
    Reply& Close();
    // Ends the connection with a TCP close only, as a server that skips the TLS close message.
    Reply& Drop();
    // Ends the connection with a TCP reset.
    Reply& Reset();
    // Without an ending the connection stays open for the next request.

    const std::vector<Action>& Actions() const { return actions_; }

private:
    std::vector<Action> actions_;
};

// One request as the server received it.
struct ReceivedRequest {
    int connection = 0;             // accepted connections counted from 0
    int indexOnConnection = 0;      // requests on that connection counted from 0
    std::string head;               // the exact bytes up to and including the empty line
    std::string serverName;         // the TLS server name indication, empty when none was sent
    std::string tlsVersion;         // such as "TLSv1.2"; empty over plain TCP
    std::string clientCertificate;  // common name of the client's certificate, empty when none
    bool sessionReused = false;     // the TLS handshake resumed an earlier session

    std::string Target() const;  // the second word of the request line
};

struct ServerOptions {
    enum class Mode {
        Tls,     // TLS, then HTTP
        Plain,   // HTTP over TCP
        Silent,  // accepts and then neither reads nor says anything
    };
    Mode mode = Mode::Tls;
    int minTlsVersion = 0;  // such as TLS1_2_VERSION; 0: the lowest the library has
    int maxTlsVersion = 0;  // 0: the highest
    bool requestClientCertificate = false;
    // When not empty: sent as raw bytes right after accepting, then the connection is closed.
    std::string greeting;
};

class ScriptedServer {
public:
    // Called on the connection's thread for every request; must be safe to call from several
    // threads when clients connect concurrently.
    using Handler = std::function<Reply(const ReceivedRequest&)>;

    explicit ScriptedServer(Handler handler, ServerOptions options = {});
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // "https://127.0.0.1:<port>" ("http://" in plain mode), then the target.
    std::string Address(std::string_view target = "/") const;
    std::vector<ReceivedRequest> Requests() const;
    int Connections() const;
    // Whether the server has accepted that many connections within the limit.
    bool WaitForConnections(int count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Whether the server has closed that connection (counted from 0) within the limit.
    bool WaitUntilClosed(int connection,
                         std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    void AcceptLoop();
    void Serve(int fd, int index);
    bool Sleep(std::chrono::milliseconds delay);
    void Forget(int index);

    Handler handler_;
    ServerOptions options_;
    struct TlsContext;
    std::unique_ptr<TlsContext> tls_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::vector<int> openFds_;  // by connection index, -1 once closed
    std::condition_variable accepted_;
    std::map<int, std::thread> connections_;  // by connection index, until joined
    std::vector<int> finished_;               // connections whose thread is ending
    std::set<int> closed_;                    // connections whose socket the server closed
    std::condition_variable connectionClosed_;
    std::vector<ReceivedRequest> requests_;
    std::thread acceptor_;
};

// "HTTP/1.1 200 OK", the extra header lines (each ending in CR LF), Content-Length and the body.
std::string OkAnswer(std::string_view body, std::string_view extraHeaders = {});

// A loopback port that is bound but not listening, so that connecting to it is refused.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::uint16_t Port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace korvalot::testing
