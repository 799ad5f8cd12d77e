// The floor under the card phase: the same card jobs as the engine's, made with nothing but the
// bare client. Each job gets a thread and a fresh fetch::WorkerClient of its own (one
// connection, the shared TLS context and its resumed sessions), makes the card's three requests
// (card, first lots page, additional data) and ends; jobs start at the engine's pace, at most
// --limit at once. No run, no phase loop, no worker, no parsing, no results file: what the
// engine spends above this is the engine's own cost.
//
//   korvalot_floor_bench --url https://127.0.0.1:PORT --guids guids.txt [--pacing-ms 200]
//       [--limit 4]
//
// The last line reads "figures:" followed by key=value pairs: cardJobs (jobs made), failed
// (jobs with a request that raised or answered nothing), cards (wall seconds from the first
// start to the last end) and cardsCpu (user plus system seconds of the process meanwhile).

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crawl/RegisterAddresses.h"
#include "fetch/ClientProfiles.h"

namespace {

using namespace korvalot;
using Clock = std::chrono::steady_clock;

[[noreturn]] void Usage(const std::string& problem) {
    std::cerr << "korvalot_floor_bench: " << problem << "\n"
              << "usage: korvalot_floor_bench --url URL --guids FILE [--pacing-ms N] "
                 "[--limit N]\n";
    std::exit(2);
}

int Number(const std::string& option, const std::string& text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0)
        Usage(option + ": not a number: " + text);
    return value;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// guids.txt as the engine writes it: one guid a line, CR LF.
std::vector<std::string> ReadGuids(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        Usage("cannot read " + file);
    std::vector<std::string> guids;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            guids.push_back(line);
    }
    return guids;
}

// True when all three answers arrived with a body.
bool CardJob(const crawl::RegisterAddresses& addresses, const std::string& guid) {
    const fetch::TradeAddresses trade = addresses.Trade(guid);
    const std::string referer = addresses.Referer();
    try {
        fetch::WorkerClient client;
        return !client.Get(trade.card, referer).empty() &&
               !client.Get(trade.lotsPage(0), referer).empty() &&
               !client.Get(trade.additional, referer).empty();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string url;
    std::string guidsFile;
    int pacingMs = 200;
    int limit = 4;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            Usage(option + ": a value is missing");
        const std::string value = argv[++i];
        if (option == "--url") {
            url = value;
        } else if (option == "--guids") {
            guidsFile = value;
        } else if (option == "--pacing-ms") {
            pacingMs = Number(option, value);
        } else if (option == "--limit") {
            limit = std::max(1, Number(option, value));
        } else {
            Usage("unknown argument: " + option);
        }
    }
    if (url.empty() || guidsFile.empty())
        Usage("--url and --guids are needed");
    const std::vector<std::string> guids = ReadGuids(guidsFile);
    const crawl::RegisterAddresses addresses(url);

    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
    std::atomic<long> failed{0};
    // Ended threads are joined before the next start, as the engine joins the workers it
    // collects, so that their stacks are used again.
    std::vector<std::thread> threads;
    const auto joinEnded = [&threads](std::vector<std::thread::id>& done) {
        for (auto it = threads.begin(); it != threads.end();) {
            if (std::find(done.begin(), done.end(), it->get_id()) != done.end()) {
                it->join();
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
        done.clear();
    };
    std::vector<std::thread::id> done;

    // The engine's card phase begins with the TLS context made and a session to resume, left
    // by its search phase: one request first does the same here.
    try {
        fetch::WorkerClient client;
        client.Get(addresses.Regions(), addresses.Referer());
    } catch (const std::exception& e) {
        Usage(std::string("the register does not answer: ") + e.what());
    }

    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    auto nextStart = start;
    for (const std::string& guid : guids) {
        {
            std::unique_lock lock(mutex);
            ended.wait(lock, [&] { return running < limit; });
            ++running;
            joinEnded(done);
        }
        std::this_thread::sleep_until(nextStart);
        threads.emplace_back([&, guid] {
            if (!CardJob(addresses, guid))
                ++failed;
            {
                std::lock_guard lock(mutex);
                --running;
                done.push_back(std::this_thread::get_id());
            }
            ended.notify_one();
        });
        // As the engine paces: the next start no sooner than this long after this one.
        nextStart = Clock::now() + std::chrono::milliseconds(pacingMs);
    }
    for (auto& t : threads)
        t.join();
    const double cards = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuStart;
    std::printf("figures: cardJobs=%zu failed=%ld cards=%.3f cardsCpu=%.3f\n", guids.size(),
                failed.load(), cards, cpu);
    return 0;
}
