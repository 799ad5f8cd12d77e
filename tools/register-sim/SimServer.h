#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/register-sim/SimRegister.h"

namespace korvalot::tools {

struct SimServerOptions {
    std::uint16_t port = 0;  // 0: any free port
    int threads = 4;
    std::chrono::milliseconds latency{0};   // before every register answer
    std::chrono::milliseconds stall{3000};  // silence of a stall before the connection is closed
    bool compress = true;  // gzip answers of 1 KiB or more when the client accepts it
    std::string logFile;   // JSON lines of the register's requests; empty: none
};

// The register over HTTPS on 127.0.0.1, with a self-signed certificate made at start.
class SimServer {
public:
    SimServer(std::shared_ptr<SimRegister> reg, SimServerOptions options);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Binds, makes the certificate and starts serving; throws std::runtime_error.
    void Start();
    // Stops serving and joins the threads; open connections are dropped.
    void Stop();

    std::uint16_t Port() const;
    // "https://127.0.0.1:port"
    std::string BaseUrl() const;
    SimRegister& Register();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvalot::tools
