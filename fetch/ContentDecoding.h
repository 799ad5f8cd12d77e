#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace korvalot::fetch {

/// The largest body a client hands over, after decoding.
inline constexpr std::size_t kMaxBodyBytes = std::size_t{256} * 1024 * 1024;

/// The outcome of decoding a body by its Content-Encoding header.
struct DecodedBody {
    enum class Status { Ok, TooLarge, Corrupt };
    Status status = Status::Ok;
    std::string body;   // the decoded bytes when Ok
    std::string error;  // what was wrong when Corrupt
};

/// Decompresses when the whole header is "gzip" or "deflate", ignoring letter case: gzip as gzip
/// members (RFC 1952), deflate as a zlib stream (RFC 1950), a gzip member or raw deflate data
/// (RFC 1951), whichever it turns out to be. Any other header value, a list of codings
/// included, leaves the body as it is. More than `limit` bytes of output give TooLarge.
DecodedBody DecodeContent(std::string_view contentEncoding, std::string body,
                          std::size_t limit = kMaxBodyBytes);

}  // namespace korvalot::fetch
