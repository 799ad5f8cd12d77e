#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "fetch/ClientProfiles.h"
#include "fetch/TScrapingThread2.h"
#include "fetch/WorkerClientTransport.h"
#include "fetch/WorkerOwner.h"
#include "support/ScriptedServer.h"
#include "support/TestCertificates.h"

namespace korvalot::fetch {
namespace {

using namespace std::chrono_literals;
using testing::ReceivedRequest;
using testing::Reply;
using testing::ScriptedServer;
using testing::ServerOptions;

// Far beyond any wait of the test: a get that returns within it was cut off, not timed out.
constexpr ClientLimits kLongLimits{60s, 60s, 60s};

struct Stall {
    const char* name;
    ServerOptions::Mode mode;
};

void PrintTo(const Stall& stall, std::ostream* out) {
    *out << stall.name;
}

// A server that accepts and then says nothing holds the client in the TLS handshake; one that
// answers slowly holds it in the read. The directory client reads its certificate files from
// the working directory: the test runs in a fresh one holding a valid pair.
class ClientCancel : public ::testing::TestWithParam<Stall> {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        directory_ = std::filesystem::temp_directory_path() /
                     ("korvalot-cancel-" + std::to_string(::getpid()) + "-" + GetParam().name);
        std::filesystem::create_directories(directory_);
        std::filesystem::current_path(directory_);
        testing::WriteClientCertificateFiles(directory_);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(directory_);
    }

private:
    std::filesystem::path previous_;
    std::filesystem::path directory_;
};

TEST_P(ClientCancel, AGetBlockedOnTheServerEndsAtOnceFromAnotherThread) {
    ServerOptions options;
    options.mode = GetParam().mode;
    for (const bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "directory" : "worker");
        ScriptedServer server([](const ReceivedRequest&) { return Reply().Pause(60s); }, options);
        WorkerClient worker(kLongLimits);
        DirectoryClient lister(kLongLimits);
        auto get = std::async(std::launch::async, [&] {
            try {
                directory ? lister.Get(server.Address("/x"), "")
                          : worker.Get(server.Address("/x"), "");
            } catch (const ClientError&) {
                return true;
            }
            return false;
        });
        // Cancelled only once the server holds the connection, so that the cut is tested, not
        // a get that never began.
        ASSERT_TRUE(server.WaitForConnections(1));
        directory ? lister.Cancel() : worker.Cancel();
        ASSERT_EQ(get.wait_for(10s), std::future_status::ready) << "the get was not cut off";
        EXPECT_TRUE(get.get()) << "a cut-off get must fail";
        // A cancelled client stays cancelled, and troubles the server no more.
        EXPECT_THROW(
            directory ? lister.Get(server.Address("/y"), "") : worker.Get(server.Address("/y"), ""),
            ClientError);
        EXPECT_EQ(server.Connections(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Stalls, ClientCancel,
                         ::testing::Values(Stall{"Handshake", ServerOptions::Mode::Silent},
                                           Stall{"Answer", ServerOptions::Mode::Tls}),
                         [](const auto& info) { return std::string(info.param.name); });

// Workers whose phase stopped waiting for them are kept by the owner until they have ended:
// cancelled, a worker held by a silent server ends at once and is joined.
TEST(WorkerOwner, CancelledWorkersHeldByTheServerEndAndAreJoined) {
    ServerOptions options;
    options.mode = ServerOptions::Mode::Silent;
    ScriptedServer server([](const ReceivedRequest&) { return Reply(); }, options);
    const std::string base = server.Address("/");
    auto lists = std::make_shared<WorkerLists>(std::make_shared<std::mutex>());
    WorkerSettings settings;
    settings.referer = base + "biddings";
    settings.transport = WorkerClientTransportFactory(kLongLimits);
    settings.tradeAddresses = [base](const std::string& guid) {
        return TradeAddresses{
            base + "card/" + guid,
            [base](std::size_t offset) { return base + "lots/" + std::to_string(offset); },
            base + "additional"};
    };
    std::weak_ptr<WorkerLists> watched = lists;
    WorkerOwner owner;
    {
        std::vector<std::shared_ptr<TScrapingThread2>> workers;
        for (int k = 0; k < 3; ++k) {
            auto worker = std::make_shared<TScrapingThread2>(settings);
            worker->job = {FetchJob::Kind::Trade, "g" + std::to_string(k)};
            worker->Lists = lists;
            {
                std::lock_guard lock(*lists->WorkerListLock);
                lists->RunningList.push_back(worker);
            }
            worker->Start();
            workers.push_back(worker);
        }
        ASSERT_TRUE(server.WaitForConnections(3));
        ASSERT_EQ(server.Connections(), 3);
        for (auto& worker : workers)
            owner.Adopt(worker);
        lists.reset();  // the phase lets go of its lists
    }
    EXPECT_FALSE(owner.WaitAll(50ms)) << "the silent server still holds the workers";
    owner.Cancel();
    EXPECT_TRUE(owner.WaitAll(10s)) << "every worker ended and was joined";
    EXPECT_TRUE(watched.expired()) << "the last worker released the lists";
}

}  // namespace
}  // namespace korvalot::fetch
