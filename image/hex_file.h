#pragma once
// Intel HEX files as the loader sees them: the text split into lines, and one line at a time
// interpreted into the file image. The loader's progress window, boxes and abort flag live in
// the engine; this part only says what a line did to the image and what went wrong with it.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/images.h"

namespace velkorn {

// Split a file's text into lines. CR LF, LF and a lone CR each end a line; a NUL byte ends
// the text; a final line break makes no extra empty line. The line ends are not kept.
std::vector<std::string> splitHexLines(std::string_view text);

// The same lines, visited in order without a copy of each: a file of nothing but line
// breaks costs its text and no more. `count` leaves out the blank lines (spaces and tabs
// only) at the end, which editors add after the last record.
class HexLines {
 public:
  explicit HexLines(std::string_view text);
  std::size_t count() const { return count_; }
  // The next line; false once every line was visited (the trailing blank ones included).
  bool next(std::string_view* line);

 private:
  std::string_view text_;
  std::size_t at_ = 0;
  std::size_t count_ = 0;
};

// What can be wrong with one line, in the order the loader meets it.
enum class HexLineError {
  Format,    // empty, or the first character is not ':'
  Address,   // the load address cannot be read, or data lands at 0x10000 or above
  Len,       // the byte count cannot be read (or does not fit an address record)
  Data,      // one data byte cannot be read (reported once per such byte)
  Checksum,  // a record whose checksum pair is wrong or missing, or a record the loader
             // does not act on that cannot be read at all
};

// The box text for an error in line `lineNumber` (1-based): "Address error in line 5".
std::string hexLineMessage(HexLineError error, int lineNumber);

// Format errors get an OK-only box; every other line error offers OK and Cancel.
inline bool hexLineErrorCancellable(HexLineError error) { return error != HexLineError::Format; }

// Interprets the lines of one file, in order, into an image. Type 00 records carry data;
// type 04 (extended linear) and type 02 (extended segment) records move the base that later
// data records are added to; every other record type is only checked (its checksum), the
// end record included, so lines after it still load. Nothing is ever written outside the
// image.
class HexLineLoader {
 public:
  explicit HexLineLoader(Image& image) : image_(image) {}

  // Interpret one line (without its line end); returns its errors in the order met, empty
  // when the line is fine or skipped. A record whose address, count and data all read but
  // whose checksum is wrong stores nothing. A line whose address or count cannot be read
  // stores nothing either. Otherwise each readable data byte is stored at base + address + k,
  // as long as that lies inside the image.
  std::vector<HexLineError> load(std::string_view line);

  // The base that extended address records have set (0 for files with 16-bit addresses).
  std::uint32_t baseAddress() const { return base_; }
  // The last line ended before its checksum: a file cut off there is not a complete load,
  // even when that line is its last.
  bool cutShort() const { return cutShort_; }

 private:
  std::vector<HexLineError> checkOnly(std::string_view line);

  Image& image_;
  std::uint32_t base_ = 0;
  bool cutShort_ = false;
};

}  // namespace velkorn
