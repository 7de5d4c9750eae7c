// Whole HEX files through the engine's loader, read from an in-memory file (memfd) so that
// nothing is written to disk: a load is Done only when no line raised a box, and a
// well-formed file loads completely into exactly the bytes it names.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "check.h"
#include "isp/engine.h"
#include "scripted_bench.h"
#include "strict_hex.h"

using namespace velkorn;

namespace {

// The loader never touches the line.
class NoLink final : public isp::Link {
 public:
  bool isOpen() const override { return false; }
  Status writeBytes(std::string_view) override { return closed(); }
  Result<isp::LinkRead> readByte() override { return closed(); }
  Status setBaudRate(int) override { return closed(); }
  isp::LinkCapabilities capabilities() const override { return {}; }

 private:
  static Error closed() { return makeError(ErrorCode::Closed, "no line"); }
};

// The image a well-formed file describes: every line a record ended by LF or CR LF, data
// inside the 64 KiB, address records of two bytes, no NUL. nullopt for anything else.
std::optional<Image> strictImage(std::string_view text) {
  if (text.empty() || text.back() != '\n' || text.find('\0') != std::string_view::npos) return std::nullopt;
  Image image;
  image.fill(kErasedByte);
  std::uint64_t base = 0;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto record = fuzz::strictRecord(line);
    if (!record) return std::nullopt;
    const auto& d = record->data;
    switch (record->type) {
      case 0x00:
        if (base + record->address + d.size() > kImageSize) return std::nullopt;
        std::copy(d.begin(), d.end(), image.begin() + static_cast<std::ptrdiff_t>(base + record->address));
        break;
      case 0x02:
      case 0x04:
        if (d.size() != 2) return std::nullopt;
        base = static_cast<std::uint64_t>(d[0] << 8 | d[1]) << (record->type == 0x04 ? 16 : 4);
        break;
      case 0x01:
      case 0x03:
      case 0x05:
        break;
      default:
        return std::nullopt;
    }
  }
  return image;
}

bool putFile(int fd, const std::uint8_t* data, std::size_t size) {
  if (::ftruncate(fd, 0) != 0) return false;
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("velkorn-fuzz-hex", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(putFile(fd, data, size));

  NoLink link;
  fuzz::BenchPerson person;
  fuzz::BenchClock clock;
  const auto engine = std::make_unique<isp::Engine>(link, person, person, person, clock);
  engine->hexFileName = "/proc/self/fd/" + std::to_string(fd);
  const isp::Outcome outcome = engine->loadHexFile(isp::Asking::Never);
  const MemoryImages& images = engine->images();

  FUZZ_CHECK(outcome.kind == isp::OutcomeKind::Done || outcome.kind == isp::OutcomeKind::FileError ||
             outcome.kind == isp::OutcomeKind::Aborted);
  if (outcome.done()) {
    FUZZ_CHECK(images.fileLoaded);
    FUZZ_CHECK(person.errorBoxes == 0);
  }
  if (outcome.kind == isp::OutcomeKind::FileError) FUZZ_CHECK(outcome.line >= 1);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto expected = strictImage(text)) {
    FUZZ_CHECK(outcome.done());
    FUZZ_CHECK(images.fileImage == *expected);
  }
  return 0;
}
