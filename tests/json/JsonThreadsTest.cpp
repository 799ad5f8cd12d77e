#include "json/JsonValue.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace korvalot::json {
namespace {

std::string Answer(int thread) {
    std::string text = "{\"found\":" + std::to_string(thread) + ",\"pageData\":[";
    for (int i = 0; i < 40; ++i) {
        if (i > 0)
            text += ',';
        text += "{\"guid\":\"g" + std::to_string(thread) + "-" + std::to_string(i) +
                "\",\"price\":" + std::to_string(i) + ".5,\"w\":[[\"\\u0041\"]]}";
    }
    return text + "]}";
}

// Workers parse their bodies at the same time; each parse must see only its own text.
TEST(JsonThreads, ParsesRunSideBySide) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    std::vector<std::string> expected;
    for (int t = 0; t < 4; ++t)
        expected.push_back(Parse(Answer(t)).Text());
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong, &expected] {
            const std::string text = Answer(t);
            for (int round = 0; round < 300; ++round) {
                const JsonValue doc = Parse(text);
                if (doc.IsNothing() || doc.Text() != expected[t] ||
                    doc.Member("pageData").Element(39).MemberText("guid") !=
                        "g" + std::to_string(t) + "-39")
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Values taken from one document are read and released on several threads while the
// document itself is gone.
TEST(JsonThreads, ValuesSharedBetweenThreads) {
    std::vector<JsonValue> trades;
    {
        const JsonValue doc = Parse(Answer(7));
        for (std::size_t i = 0; i < 40; ++i)
            trades.push_back(doc.Member("pageData").Element(i));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&trades, &wrong] {
            for (int round = 0; round < 200; ++round) {
                for (std::size_t i = 0; i < trades.size(); ++i) {
                    const JsonValue copy = trades[i];
                    if (copy.MemberText("price") != std::to_string(i) + ".5" ||
                        copy.Member("w").Element(0).Element(0).Text() != "A")
                        ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace korvalot::json
