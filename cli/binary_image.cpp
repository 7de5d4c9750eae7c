#include "cli/binary_image.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cli/outcome_report.h"

namespace velkorn::cli {

std::optional<std::string> loadBinaryImage(const std::string& name, int address, Image& image, int* bytes) {
  namespace fs = std::filesystem;
  // Names are UTF-8 here; on Windows the path carries them to the wide file calls.
  const fs::path path(std::u8string(name.begin(), name.end()));
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) return ec.message();
  // A FIFO or a device would hold the command until something writes to it.
  if (!fs::is_regular_file(status)) return fs::is_directory(status) ? std::strerror(EISDIR) : "not a regular file";
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return ec.message();
  const auto room = static_cast<std::uintmax_t>(kImageSize - address);
  if (size > room) {
    return std::to_string(size) + " bytes from " + hexAddress(address) + " run past the chip's 64 KiB (" +
           std::to_string(room) + " bytes fit)";
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::strerror(errno != 0 ? errno : ENOENT);
  image.fill(kErasedByte);
  in.read(reinterpret_cast<char*>(image.data() + address), static_cast<std::streamsize>(size));
  if (in.gcount() != static_cast<std::streamsize>(size)) return "the file changed while it was read";
  *bytes = static_cast<int>(size);
  return std::nullopt;
}

}  // namespace velkorn::cli
