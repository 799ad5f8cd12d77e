#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include <zlib.h>

namespace korvalot::fetch::test {

enum class Wrapper { Gzip, Zlib, Raw };

// `copies` times `data`, compressed in the given wrapper; repeating the input in the loop keeps
// a large compressed body cheap to make.
inline std::string Compress(std::string_view data, Wrapper wrapper, std::size_t copies = 1) {
    const int windowBits = wrapper == Wrapper::Gzip   ? 16 + MAX_WBITS
                           : wrapper == Wrapper::Zlib ? MAX_WBITS
                                                      : -MAX_WBITS;
    z_stream zs{};
    if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_RLE) != Z_OK) {
        throw std::runtime_error("deflateInit2");
    }
    std::string out;
    char buffer[64 * 1024];
    for (std::size_t i = 0; i < copies; ++i) {
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        zs.avail_in = static_cast<uInt>(data.size());
        const int flush = i + 1 == copies ? Z_FINISH : Z_NO_FLUSH;
        int rc;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(buffer);
            zs.avail_out = sizeof buffer;
            rc = deflate(&zs, flush);
            out.append(buffer, sizeof buffer - zs.avail_out);
        } while (zs.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    }
    deflateEnd(&zs);
    return out;
}

}  // namespace korvalot::fetch::test
