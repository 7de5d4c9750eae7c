// The one atomic write: what it does when the name is taken, and when something changes at
// the name between the caller's look and the rename.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "file/atomic_file.h"
#include "file/small_files.h"

namespace velkorn::file {
namespace {
namespace fs = std::filesystem;

TEST(AtomicWrite, TakenNamesAndLastMomentChanges) {
  struct Case {
    const char* name;
    bool existing;                                // a regular file "old" there before
    bool replace;
    std::function<Status(const fs::path&)> meanwhile;  // runs right before the rename
    std::optional<ErrorCode> code;                // none: written
    const char* left;                             // what the name holds afterwards
  };
  const auto refuse = [](const fs::path&) -> Status { return makeError(ErrorCode::Denied, "not now"); };
  const auto appear = [](const fs::path& p) -> Status {
    std::ofstream(p) << "theirs";
    return {};
  };
  const auto linkIn = [](const fs::path& p) -> Status {
    fs::remove(p);
    fs::create_symlink("elsewhere", p);
    return {};
  };
  const Case cases[] = {
      {"a new file", false, false, {}, std::nullopt, "new"},
      {"a file replaced", true, true, {}, std::nullopt, "new"},
      {"a taken name kept", true, false, {}, ErrorCode::Exists, "old"},
      {"a file that appeared meanwhile kept", false, false, appear, ErrorCode::Exists, "theirs"},
      {"a link swapped in stays a link", true, true, linkIn, ErrorCode::NotRegular, nullptr},
      {"the caller's last refusal", true, true, refuse, ErrorCode::Denied, "old"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = fs::temp_directory_path() / ("velkorn_atomic_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path target = dir / "out.hex";
    if (c.existing) {
      std::ofstream(target) << "old";
      fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    }
    PlaceCheck check;
    if (c.meanwhile) check = [&] { return c.meanwhile(target); };
    const Status written = writeFileAtomically(target.string(), "new", c.replace, check);
    if (!c.code) {
      EXPECT_TRUE(written.ok()) << written.message();
    } else {
      ASSERT_FALSE(written.ok());
      EXPECT_EQ(written.code(), *c.code) << written.message();
    }
    if (c.left) {
      EXPECT_EQ(readFileStart(target.string(), 64).valueOr("unreadable"), c.left);
    } else {
      EXPECT_TRUE(fs::is_symlink(target));
    }
    // A replaced file keeps who may read it; no temporary file stays behind.
    if (c.existing && c.replace && written.ok()) {
      EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    }
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++entries;
    EXPECT_EQ(entries, 1);
    fs::remove_all(dir);
  }
}

}  // namespace
}  // namespace velkorn::file
