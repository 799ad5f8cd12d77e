#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace korvalot::testing {

// A TCP proxy on 127.0.0.1 that a test switches off and on: it forwards every connection to a
// port of 127.0.0.1, or refuses connections altogether, as a register that is down would. The
// bytes pass through untouched, so TLS runs end to end between client and server.
class TcpProxy {
public:
    // Listens on a free port of 127.0.0.1 and forwards to the target port.
    explicit TcpProxy(std::uint16_t target);
    ~TcpProxy();
    TcpProxy(const TcpProxy&) = delete;
    TcpProxy& operator=(const TcpProxy&) = delete;

    std::uint16_t Port() const { return port_; }
    // "https://127.0.0.1:PORT"
    std::string HttpsUrl() const;

    // Forwards new connections to the target port, listening again on the same port if it was
    // refusing. Connections open to another target are reset.
    void ForwardTo(std::uint16_t target);
    // Stops listening, so that connecting fails at once, and resets every open connection.
    // Returns once the listener is closed.
    void Refuse();
    // Connections accepted so far.
    std::uint64_t Accepted() const;
    // Waits until that many connections have been accepted; false when the time ran out first.
    bool WaitUntilAccepted(std::uint64_t count, std::chrono::milliseconds timeout);

private:
    struct Link;
    void AcceptLoop();
    void Serve(std::shared_ptr<Link> link);
    void CutLinks(bool all, std::uint16_t keepTarget);  // under mutex_

    std::uint16_t port_ = 0;  // set once, before the constructor returns
    int wake_[2] = {-1, -1};  // wakes the accept thread from poll
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint16_t target_;
    bool refusing_ = false;
    bool listening_ = false;
    bool stopping_ = false;
    std::uint64_t accepted_ = 0;
    std::list<std::shared_ptr<Link>> links_;  // open ones
    std::list<std::pair<std::shared_ptr<Link>, std::thread>> threads_;
    std::thread acceptor_;
};

}  // namespace korvalot::testing
