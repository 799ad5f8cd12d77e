#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Starting the register simulator from tests and talking to it, without the product's client.
namespace korvalot::tools {

class SimProcessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using SimHeaderList = std::vector<std::pair<std::string, std::string>>;

struct SimResponse {
    int status = 0;
    std::string reason;
    SimHeaderList headers;
    std::string body;      // as received: not decompressed
    bool complete = true;  // false: the connection ended before the announced length

    // The first header of that name (letter case ignored), or the empty text.
    std::string Header(std::string_view name) const;
};

struct SimClientOptions {
    std::string certificateFile;  // a client certificate to present when asked
    std::string keyFile;
    std::string passphrase;
    std::chrono::milliseconds timeout{30000};  // for every step of a request
};

// One HTTPS connection to the simulator, kept open between requests (HTTP/1.1 keep-alive).
// Accepts any server certificate.
class SimClient {
public:
    explicit SimClient(std::string baseUrl, SimClientOptions options = {});
    ~SimClient();
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;

    // GET target ("/path?query") with these headers besides Host. Throws SimProcessError when
    // no answer arrives (reset, closed, timed out); a body cut short is returned incomplete.
    SimResponse Get(const std::string& target, const SimHeaderList& headers = {});
    void Close();
    // Connections opened so far.
    int Connections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One GET on a fresh connection.
SimResponse HttpsGet(const std::string& baseUrl, const std::string& target,
                     const SimHeaderList& headers = {});

// The simulator as a child process: started with the arguments, ready once it has printed its
// address, stopped with SIGTERM when destroyed.
class SimProcess {
public:
    // An empty binary means the one this build made (REGISTER_SIM_PATH).
    explicit SimProcess(const std::vector<std::string>& args, std::string binary = {},
                        std::chrono::milliseconds startTimeout = std::chrono::seconds(120));
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // "https://127.0.0.1:PORT"
    const std::string& BaseUrl() const { return baseUrl_; }
    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return pid_; }

    // GET BaseUrl() + target, e.g. "/sim/truth?regions=77&types=OpenAuction".
    SimResponse Get(const std::string& target) const { return HttpsGet(baseUrl_, target); }

    // SIGTERM, then waits (SIGKILL after 30 s). The exit code, or 128 + the signal that ended it.
    // Later calls return the same value.
    int Stop();

    static std::string DefaultBinary();

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string baseUrl_;
    std::uint16_t port_ = 0;
    int exitCode_ = -1;
};

}  // namespace korvalot::tools
