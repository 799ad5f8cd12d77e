#include "fetch/ContentDecoding.h"

#include <algorithm>
#include <array>
#include <cctype>

#include <zlib.h>

#include "fetch/HeaderText.h"

namespace korvalot::fetch {
namespace {

enum class Wrapper { Gzip, Zlib, Raw };

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool StartsWithGzipMagic(const unsigned char* data, std::size_t size) {
    return size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
}

// Servers label all three forms "deflate"; the first two bytes tell them apart.
Wrapper SniffDeflate(const std::string& body) {
    const auto* data = reinterpret_cast<const unsigned char*>(body.data());
    if (StartsWithGzipMagic(data, body.size())) {
        return Wrapper::Gzip;
    }
    if (body.size() >= 2 && (data[0] & 0x0f) == Z_DEFLATED && (data[0] >> 4) <= 7 &&
        ((data[0] << 8) | data[1]) % 31 == 0) {
        return Wrapper::Zlib;
    }
    return Wrapper::Raw;
}

DecodedBody Corrupt(std::string error) {
    return {DecodedBody::Status::Corrupt, {}, std::move(error)};
}

DecodedBody Inflate(const std::string& input, Wrapper wrapper, std::size_t limit) {
    const int windowBits = wrapper == Wrapper::Gzip   ? 16 + MAX_WBITS
                           : wrapper == Wrapper::Zlib ? MAX_WBITS
                                                      : -MAX_WBITS;
    z_stream zs{};
    if (inflateInit2(&zs, windowBits) != Z_OK) {
        return Corrupt("zlib could not start");
    }
    struct Guard {
        z_stream* zs;
        ~Guard() { inflateEnd(zs); }
    } guard{&zs};

    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    zs.avail_in = static_cast<uInt>(input.size());
    std::string output;
    std::array<char, 64 * 1024> chunk;
    for (;;) {
        zs.next_out = reinterpret_cast<Bytef*>(chunk.data());
        zs.avail_out = static_cast<uInt>(chunk.size());
        const int rc = inflate(&zs, Z_NO_FLUSH);
        const std::size_t produced = chunk.size() - zs.avail_out;
        if (produced > limit - output.size()) {
            return {DecodedBody::Status::TooLarge, {}, {}};
        }
        if (output.capacity() < output.size() + produced) {
            // Grown by hand so that a body near the limit never reserves twice the limit.
            output.reserve(
                std::min(limit, std::max(output.size() + produced, output.capacity() * 2)));
        }
        output.append(chunk.data(), produced);
        if (rc == Z_STREAM_END) {
            // A gzip body may hold several members one after another.
            if (wrapper == Wrapper::Gzip && StartsWithGzipMagic(zs.next_in, zs.avail_in)) {
                inflateReset(&zs);
                continue;
            }
            return {DecodedBody::Status::Ok, std::move(output), {}};
        }
        if (rc == Z_BUF_ERROR || (rc == Z_OK && zs.avail_in == 0 && zs.avail_out != 0)) {
            return Corrupt("the compressed data ends early");
        }
        if (rc != Z_OK) {
            return Corrupt(zs.msg != nullptr ? zs.msg : "invalid compressed data");
        }
    }
}

}  // namespace

DecodedBody DecodeContent(std::string_view contentEncoding, std::string body, std::size_t limit) {
    const auto coding = TrimBlanks(contentEncoding);
    const bool gzip = EqualsIgnoringCase(coding, "gzip");
    const bool deflate = EqualsIgnoringCase(coding, "deflate");
    if ((!gzip && !deflate) || body.empty()) {
        if (body.size() > limit) {
            return {DecodedBody::Status::TooLarge, {}, {}};
        }
        return {DecodedBody::Status::Ok, std::move(body), {}};
    }
    return Inflate(body, gzip ? Wrapper::Gzip : SniffDeflate(body), limit);
}

}  // namespace korvalot::fetch
