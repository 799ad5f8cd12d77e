// What a parse costs in memory, counted by replacing the program's allocation functions: every
// byte the reader asks for while it parses (its copy of the text included) and every byte the
// document keeps. A body of any shape must cost less than eight times its size, so that a small
// compressed answer cannot make the program run out of memory.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "json/JsonValue.h"

namespace {

std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

// Each block carries its size in front, so that deleting it can subtract what it added.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Take(std::size_t size) {
    void* block = std::malloc(size + kHeader);
    if (block == nullptr)
        return nullptr;
    *static_cast<std::size_t*>(block) = size;
    const std::size_t now = liveBytes.fetch_add(size) + size;
    std::size_t peak = peakBytes.load();
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
    }
    return static_cast<char*>(block) + kHeader;
}

void Give(void* p) noexcept {
    if (p == nullptr)
        return;
    void* block = static_cast<char*>(p) - kHeader;
    liveBytes.fetch_sub(*static_cast<std::size_t*>(block));
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = Take(size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = Take(size))
        return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Take(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Take(size);
}
void operator delete(void* p) noexcept {
    Give(p);
}
void operator delete[](void* p) noexcept {
    Give(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Give(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Give(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Give(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Give(p);
}

namespace korvalot::json {
namespace {

struct Cost {
    std::size_t peak = 0;  // the most held at once while parsing, beyond what was held before
    std::size_t kept = 0;  // held by the document afterwards
};

Cost CostOf(const std::string& text, std::size_t& length) {
    const std::size_t before = liveBytes.load();
    peakBytes.store(before);
    Cost cost;
    {
        const JsonValue value = Parse(text);
        cost.peak = peakBytes.load() - before;
        cost.kept = liveBytes.load() - before;
        length = value.IsNothing() ? static_cast<std::size_t>(-1) : value.Length();
    }
    return cost;
}

std::string Repeat(const std::string& head, const std::string& unit, const std::string& tail,
                   std::size_t atLeast) {
    std::string text = head;
    text.reserve(atLeast + unit.size() + tail.size());
    while (text.size() < atLeast)
        text += unit;
    return text + tail;
}

struct Shape {
    const char* what;
    std::string text;
    std::size_t length;  // of the root value, to show the shape was read as meant
};

void PrintTo(const Shape& s, std::ostream* os) {
    *os << s.what;
}

class JsonMemoryTest : public testing::TestWithParam<Shape> {};

constexpr std::size_t kSize = 1 << 20;

TEST_P(JsonMemoryTest, ParsingCostsLessThanEightTimesTheText) {
    const Shape& shape = GetParam();
    std::size_t length = 0;
    const Cost cost = CostOf(shape.text, length);
    EXPECT_EQ(length, shape.length) << shape.what;
    const double ratio = static_cast<double>(cost.peak) / static_cast<double>(shape.text.size());
    std::printf("%-40s %8zu bytes: peak %.2f, kept %.2f times the text\n", shape.what,
                shape.text.size(), ratio,
                static_cast<double>(cost.kept) / static_cast<double>(shape.text.size()));
    EXPECT_LT(cost.peak, 8 * shape.text.size()) << shape.what << ": " << ratio << " times";
}

std::size_t Units(const std::string& text, const std::string& head, const std::string& tail,
                  const std::string& unit) {
    return (text.size() - head.size() - tail.size()) / unit.size();
}

Shape Of(const char* what, const std::string& head, const std::string& unit,
         const std::string& tail, std::size_t extra = 0) {
    std::string text = Repeat(head, unit, tail, kSize);
    return Shape{what, text, Units(text, head, tail, unit) + extra};
}

std::string ReadData(const char* name) {
    std::ifstream in(std::string(KORVALOT_JSON_TEST_DATA) + "/" + name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, JsonMemoryTest,
    testing::Values(
        // Every comma ends an empty element: one value per byte.
        Of("bare commas", "[", ",", "]", 1), Of("one-letter words", "[a", ",a", "]", 1),
        Of("digits", "[1", ",1", "]", 1), Of("large integers", "[1", ",12345678901", "]", 1),
        Of("decimals", "[1", ",1.", "]", 1), Of("floating numbers", "[1", ",1e1", "]", 1),
        Of("nulls", "[1", ",null", "]", 1), Of("empty strings", "[1", ",\"\"", "]", 1),
        Of("one-letter strings", "[1", ",'a'", "]", 1), Of("empty arrays", "[1", ",[]", "]", 1),
        Of("arrays of one word", "[1", ",[a]", "]", 1),
        Of("arrays of two empty elements", "[1", ",[,]", "]", 1),
        Of("objects of one member", "[1", ",{a:1}", "]", 1),
        Of("tiny members", "{\"a\":1", ",\"a\":1", "}", 1),
        Of("bare members without values", "{a:", ",a:", "}", 1),
        Of("bare members with a word", "{a:a", ",a:a", "}", 1),
        Of("deep nesting", "[1", "," + std::string(30, '[') + std::string(30, ']'), "]", 1),
        Shape{"a long array deep down",
              Repeat(std::string(30, '[') + "1", ",1", std::string(30, ']'), kSize), 1},
        Shape{"a search answer", ReadData("search_answer.json"), 2},
        Shape{"a lots answer", ReadData("lots_answer.json"), 2}));

}  // namespace
}  // namespace korvalot::json
