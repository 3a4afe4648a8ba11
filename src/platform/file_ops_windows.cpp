#include "platform/file_ops.hpp"

#include <windows.h>

#include "platform/regular_file_windows.hpp"

namespace {
bool IsDirectory(const boost::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const boost::filesystem::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}
}  // namespace

// Without flags a move neither replaces nor copies: a folder in the way fails as already existing
// and another volume as not the same device, each at once, where the library's move (which asks
// for both) would fail with a denied access that looks like a held file. Only a file in the way
// is then replaced, and only by a file: a folder never takes the place of a file.
boost::system::error_code RenamePath(const boost::filesystem::path& from, const boost::filesystem::path& to) {
  if (MoveFileExW(from.c_str(), to.c_str(), 0)) return {};
  DWORD failure = GetLastError();
  if ((failure == ERROR_ALREADY_EXISTS || failure == ERROR_FILE_EXISTS) && IsFile(from) && !IsDirectory(to)) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
    failure = GetLastError();
  }
  return {static_cast<int>(failure), boost::system::system_category()};
}

// A program running from a folder, a file open without delete sharing and a read-only file all
// fail a move with ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION: those may pass once a scanner
// or an exiting program lets go, and are tried again.
bool MayPassLater(const boost::system::error_code& failure) {
  if (failure.category() != boost::system::system_category()) return true;
  switch (failure.value()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_NOT_SAME_DEVICE:
    case ERROR_WRITE_PROTECT:
    case ERROR_FILE_EXISTS:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_DIR_NOT_EMPTY:
    case ERROR_BAD_PATHNAME:
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY:
      return false;
    default:
      return true;
  }
}

void RequireOneFileSystem(const boost::filesystem::path&) {}

// Ordinal, letter case folded by the system's own table: what NTFS does, unlike any locale's rules.
int CompareFileNames(const NativeString& first, const NativeString& second) {
  return CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                              static_cast<int>(second.size()), TRUE) -
         CSTR_EQUAL;
}

boost::system::error_code ReadWholeFile(const NativeString& file, std::uintmax_t limit, std::string& bytes) {
  using boost::system::errc::make_error_code;
  bytes.clear();
  RegularFile opened;
  DWORD failure = OpenRegularFile(file, 0, opened);
  if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_PATH_NOT_FOUND) {
    return make_error_code(boost::system::errc::no_such_file_or_directory);
  }
  if (failure != 0) return {static_cast<int>(failure), boost::system::system_category()};
  if (opened.special || opened.size > limit) {
    if (!opened.special) CloseHandle(opened.handle);
    return make_error_code(boost::system::errc::invalid_argument);
  }
  char buffer[1 << 14];
  while (failure == 0) {
    DWORD count = 0;
    if (!ReadFile(opened.handle, buffer, sizeof buffer, &count, nullptr)) failure = GetLastError();
    if (failure != 0 || count == 0) break;
    bytes.append(buffer, count);
  }
  CloseHandle(opened.handle);
  return {static_cast<int>(failure), boost::system::system_category()};
}
