#pragma once

#include <cstdint>
#include <string_view>

// Every generated value and every fault decision derives from these functions alone, never from
// the standard library's distributions, whose results differ between library versions: the same
// seed must give the same register on every machine.
namespace korvalot::tools {

inline std::uint64_t SplitMix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

inline std::uint64_t HashText(std::string_view text, std::uint64_t h = 0xcbf29ce484222325ULL) {
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

inline std::uint64_t Mix(std::uint64_t a, std::uint64_t b) {
    return SplitMix64(a ^ SplitMix64(b + 0x632be59bd9b4e019ULL));
}

class SimRng {
public:
    explicit SimRng(std::uint64_t seed) : state_(seed) {}

    std::uint64_t Next() {
        state_ += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, n); n of 0 gives 0.
    std::uint64_t Below(std::uint64_t n) {
        return static_cast<std::uint64_t>((static_cast<unsigned __int128>(Next()) * n) >> 64);
    }

    // Uniform in [low, high], both inclusive.
    std::int64_t Between(std::int64_t low, std::int64_t high) {
        return low + static_cast<std::int64_t>(Below(static_cast<std::uint64_t>(high - low) + 1));
    }

    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

    bool Chance(double p) { return Unit() < p; }

    template <class Container>
    const auto& Pick(const Container& items) {
        return items[Below(std::size(items))];
    }

private:
    std::uint64_t state_;
};

}  // namespace korvalot::tools
