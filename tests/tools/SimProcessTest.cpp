#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/register-sim/SimProcess.h"

namespace korvalot::tools {
namespace {

using nlohmann::json;

std::filesystem::path TempDir(const std::string& name) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("register-sim-" + name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

int RunSim(const std::string& arguments) {
    const int status =
        std::system((SimProcess::DefaultBinary() + " " + arguments + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SimProcess, ServesTheTruthItWroteAndEndsCleanlyOnSigterm) {
    const auto dir = TempDir("process");
    const std::string truthFile = (dir / "truth.json").string();
    SimProcess sim({"--port", "0", "--trades", "2500", "--seed", "4", "--truth", truthFile,
                    "--truth-regions", "77", "--truth-types", "OpenAuction,PublicOffer",
                    "--truth-from", "2026-01-01", "--truth-to", "2026-06-30"});
    EXPECT_EQ(sim.BaseUrl(), "https://127.0.0.1:" + std::to_string(sim.Port()));

    std::ifstream in(truthFile);
    std::stringstream written;
    written << in.rdbuf();
    const json fromFile = json::parse(written.str());
    const SimResponse served = sim.Get(
        "/sim/truth?regions=77&types=OpenAuction,PublicOffer&from=2026-01-01&to=2026-06-30");
    ASSERT_EQ(served.status, 200);
    EXPECT_EQ(json::parse(served.body), fromFile);
    ASSERT_GT(fromFile.size(), 1000u);  // the crowded days are there

    std::size_t found = 0;
    for (const char* type : {"OpenAuction", "PublicOffer"}) {
        const SimResponse page =
            sim.Get(std::string("/backend/biddings?limit=50&offset=0&tradeType=") + type +
                    "&regionCode=77&tradeStartDate=2026-01-01T00%3A00%3A00"
                    "&tradeEndDate=2026-06-30T23%3A59%3A59");
        found += json::parse(page.body).at("found").get<std::size_t>();
    }
    EXPECT_EQ(found, fromFile.size());
    EXPECT_EQ(sim.Stop(), 0);
    std::filesystem::remove_all(dir);
}

bool Running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return false;
    }
    // a zombie nobody has reaped yet has ended all the same
    return line.substr(line.rfind(')') + 2, 1) != "Z";
}

TEST(SimProcess, EndsWithTheProcessThatStartedIt) {
    const auto dir = TempDir("orphan");
    const auto pidFile = dir / "pid";
    const std::string command =
        "sh -c '" + SimProcess::DefaultBinary() +
        " --port 0 --trades 10 --parent-pid $$ >/dev/null 2>&1 & echo $! > " + pidFile.string() +
        "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream in(pidFile);
    pid_t pid = 0;
    ASSERT_TRUE(in >> pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Running(pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_FALSE(Running(pid));
    std::filesystem::remove_all(dir);
}

TEST(SimProcess, WritesTheClientCertificateAndRejectsBadArguments) {
    const auto dir = TempDir("cert-cli");
    EXPECT_EQ(RunSim("--write-client-cert " + (dir / "certs").string()), 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "certs" / "01cert.pem"));
    EXPECT_TRUE(std::filesystem::exists(dir / "certs" / "01key.pem"));
    for (const char* bad : {"--trades many", "--fault-kinds 503,teapot", "--fault-rate 1.5",
                            "--from 2026-02-30", "--from 2026-03-01 --to 2026-02-01", "--bogus"}) {
        EXPECT_EQ(RunSim(bad), 2) << bad;
    }
    EXPECT_THROW(SimProcess({"--bogus"}), SimProcessError);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvalot::tools
