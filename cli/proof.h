#pragma once
// What a result names as its proof: the SHA-256 of the input file's bytes, which identifies
// the file, and the CRC-32 of the image that was compared (or read), which a production
// record can set beside the checksum of what the build produced.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velkorn::cli {

// CRC-32 as zlib and PNG compute it (reflected, polynomial 0xEDB88320, inverted).
std::uint32_t crc32(const std::uint8_t* data, std::size_t size);
// Eight upper-case hexadecimal digits.
std::string crc32Text(std::uint32_t crc);

// SHA-256 of `bytes`, as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

}  // namespace velkorn::cli
