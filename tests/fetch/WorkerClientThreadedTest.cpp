#include <array>
#include <chrono>
#include <latch>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "fetch/ClientProfiles.h"
#include "support/ScriptedServer.h"

namespace korvalot::fetch {
namespace {

using namespace std::chrono_literals;
using testing::OkAnswer;
using testing::ReceivedRequest;
using testing::Reply;
using testing::ScriptedServer;

constexpr int kWorkers = 4;

// Four workers make their very first request at the same moment: the TLS library is set up
// once under them, and no client shares anything with another.
TEST(WorkerClientThreaded, FourWorkersStartTogetherEachOnItsOwnConnection) {
    ScriptedServer server([](const ReceivedRequest& r) {
        return Reply().Send(
            OkAnswer("body of " + r.Target(), "Set-Cookie: w=" + r.Target() + "\r\n"));
    });
    std::latch start(kWorkers);
    std::array<std::string, kWorkers> first;
    std::array<std::string, kWorkers> second;
    std::array<std::string, kWorkers> errors;
    std::array<std::thread, kWorkers> threads;
    for (int i = 0; i < kWorkers; ++i) {
        threads[i] = std::thread([&, i] {
            WorkerClient client(ClientLimits{20s, 20s, 20s});
            const std::string address = server.Address("/worker" + std::to_string(i));
            start.arrive_and_wait();
            try {
                first[i] = client.Get(address, "https://register.example/biddings");
                second[i] = client.Get(address + "/again", "https://register.example/biddings");
            } catch (const ClientError& error) {
                errors[i] = error.what();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (int i = 0; i < kWorkers; ++i) {
        const std::string target = "/worker" + std::to_string(i);
        EXPECT_EQ(errors[i], "");
        EXPECT_EQ(first[i], "body of " + target);
        EXPECT_EQ(second[i], "body of " + target + "/again");
    }
    // One connection per worker, each carrying that worker's two requests and its own cookie.
    EXPECT_EQ(server.Connections(), kWorkers);
    for (const auto& request : server.Requests()) {
        if (request.indexOnConnection == 1) {
            const std::string target = request.Target();
            const std::string own = target.substr(0, target.size() - std::string("/again").size());
            EXPECT_NE(request.head.find("\r\nCookie: w=" + own + "\r\n"), std::string::npos)
                << request.head;
        }
    }
}

}  // namespace
}  // namespace korvalot::fetch
