// The atomic write (Windows).
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>

#include "file/atomic_file.h"
#include "file/atomic_file_system.h"
#include "file/win32_wide.h"
#include "file/win32_error.h"

namespace velkorn::file {
namespace {

std::string lastErrorText() { return file::win32ErrorText(::GetLastError()); }

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) {
    // "C:name" lies in the current folder of drive C.
    return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) + "." : ".";
  }
  if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A new file under a free temporary name in `folder`, for us alone (CREATE_NEW).
HANDLE createTemporary(const std::string& folder, std::string* name, DWORD flags) {
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::mt19937 random(std::random_device{}() ^ ::GetCurrentProcessId() ^ ::GetTickCount());
  std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof kLetters) - 2);
  const std::string base = folder.back() == '\\' || folder.back() == '/' ? folder : folder + "\\";
  for (int attempt = 0; attempt < 100; ++attempt) {
    *name = base + std::string(kTemporaryPrefix);
    for (std::size_t i = 0; i < kTemporaryRandomChars; ++i) name->push_back(kLetters[pick(random)]);
    const HANDLE file =
        ::CreateFileW(wide(*name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  ::SetLastError(ERROR_FILE_EXISTS);
  return INVALID_HANDLE_VALUE;
}

// CON, NUL, COM1 and the like name devices in every folder, with any extension.
bool reservedName(std::string name) {
  name = name.substr(0, name.find('.'));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (name == device) return true;
  }
  return name.size() == 4 && (name.starts_with("COM") || name.starts_with("LPT")) && name[3] >= '0' && name[3] <= '9';
}

}  // namespace

Status checkOutputPath(const std::string& path) {
  if (path.empty()) return makeError(ErrorCode::Invalid, "no file name");
  const std::string name = nameOf(path);
  if (name.empty() || name == "." || name == "..") return makeError(ErrorCode::Invalid, "names a folder, not a file");
  if (reservedName(name))
    return makeError(ErrorCode::Invalid, "\"" + name + "\" names a device on Windows, not a file");
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>\"|?*", c) != nullptr)
      return makeError(ErrorCode::Invalid, "the name holds a character Windows does not allow in file names");
  }
  const std::wstring wname = wide(name);
  if (wname.size() > 255) return makeError(ErrorCode::Invalid, "the name is longer than 255 characters");
  const std::string folder = folderOf(path);
  const DWORD attributes = ::GetFileAttributesW(wide(folder).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
      return makeError(ErrorCode::NotFound, "its folder " + folder + " does not exist");
    return makeError(ErrorCode::Failed, "its folder " + folder + ": " + lastErrorText());
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return makeError(ErrorCode::NotFound, folder + " is not a folder");
  wchar_t full[MAX_PATH + 1];
  const DWORD length = ::GetFullPathNameW(wide(path).c_str(), MAX_PATH + 1, full, nullptr);
  if (length == 0 || length >= MAX_PATH)
    return makeError(ErrorCode::Invalid, "the path is longer than Windows allows (259 characters)");
  std::string temp;
  const HANDLE probe = createTemporary(folder, &temp, FILE_FLAG_DELETE_ON_CLOSE);
  if (probe == INVALID_HANDLE_VALUE)
    return makeError(ErrorCode::Failed, "no file can be created in its folder: " + lastErrorText());
  ::CloseHandle(probe);
  return {};
}

Result<std::string> writeTemporaryFile(const std::string& path, std::string_view text) {
  std::string temp;
  const HANDLE file = createTemporary(folderOf(path), &temp, 0);
  if (file == INVALID_HANDLE_VALUE) return makeError(ErrorCode::Failed, lastErrorText());
  std::size_t done = 0;
  std::string error;
  while (done < text.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1u << 20));
    DWORD written = 0;
    if (!::WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0) {
      error = lastErrorText();
      break;
    }
    done += written;
  }
  // The text reaches the disk before the file takes the name.
  if (error.empty() && !::FlushFileBuffers(file)) error = lastErrorText();
  if (!::CloseHandle(file) && error.empty()) error = lastErrorText();
  if (!error.empty()) {
    ::DeleteFileW(wide(temp).c_str());
    return makeError(ErrorCode::NotWritten, error);
  }
  return temp;
}

Status moveIntoPlace(const std::string& temporary, const std::string& path, bool replace) {
  const std::wstring target = wide(path);
  if (replace) {
    // A link (a reparse point) or a folder is never replaced.
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0)
      return makeError(ErrorCode::NotRegular, "not a regular file, which is left as it is");
  }
  // Without MOVEFILE_REPLACE_EXISTING the move refuses a name that is taken; the move returns
  // once it is on the disk.
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (::MoveFileExW(wide(temporary).c_str(), target.c_str(), flags)) return {};
  const DWORD code = ::GetLastError();
  if (!replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS))
    return makeError(ErrorCode::Exists, "the file exists");
  return makeError(ErrorCode::Failed, file::win32ErrorText(code));
}

void removeTemporary(const std::string& temporary) { ::DeleteFileW(wide(temporary).c_str()); }

}  // namespace velkorn::file
