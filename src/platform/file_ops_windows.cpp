#include "platform/file_ops.hpp"

#include <windows.h>

#include <algorithm>
#include <boost/filesystem/exception.hpp>
#include <string>
#include <vector>

#include "platform/final_path_windows.hpp"
#include "platform/held_folder_windows.hpp"
#include "platform/regular_file_windows.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Moves the file `from` over the file `to` with POSIX semantics: 0, the system's failure, or
// ERROR_INVALID_PARAMETER where the system does not offer them (before Windows 10 1607, Wine 8),
// ERROR_NOT_SUPPORTED or ERROR_INVALID_FUNCTION where the file system does not.
DWORD ReplaceWithPosixSemantics(const std::wstring& from, const std::wstring& to) {
  // FileRenameInfoEx, which the headers declare only for Windows 10 1709 and later.
  constexpr auto kRenameEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
  const HANDLE file = CreateFileW(from.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
  auto* const rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  std::copy(to.begin(), to.end(), rename->FileName);
  const DWORD failure =
      SetFileInformationByHandle(file, kRenameEx, rename, static_cast<DWORD>(buffer.size())) ? 0 : GetLastError();
  CloseHandle(file);
  return failure;
}
}  // namespace

// Without flags a move neither replaces nor copies: a folder in the way fails as already existing
// and another volume as not the same device, each at once, where the library's move (which asks
// for both) would fail with a denied access that looks like a held file. Only a file in the way
// is then replaced, and only by a file: a folder never takes the place of a file. Both paths are
// taken in their verbatim form: no length limit, no name read as a device.
boost::system::error_code RenamePath(const boost::filesystem::path& from, const boost::filesystem::path& to,
                                     Replacing replacing) {
  const std::wstring source = VerbatimPath(from.native()), target = VerbatimPath(to.native());
  if (MoveFileExW(source.c_str(), target.c_str(), 0)) return {};
  DWORD failure = GetLastError();
  if ((failure == ERROR_ALREADY_EXISTS || failure == ERROR_FILE_EXISTS) && IsFile(source) && !IsDirectory(target)) {
    failure = replacing == Replacing::kEvenWhileOpen ? ReplaceWithPosixSemantics(source, target) : ERROR_NOT_SUPPORTED;
    if (failure == 0) return {};
    const bool offered =
        failure != ERROR_INVALID_PARAMETER && failure != ERROR_NOT_SUPPORTED && failure != ERROR_INVALID_FUNCTION;
    if (!offered) failure = MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : GetLastError();
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

namespace {
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A link opened as itself. Wine opens what a Unix link points to whatever the flags, and shows a
// link to a file as a plain file: there only the final path of what was opened tells.
constexpr DWORD kAsItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

error_code SystemError(DWORD code) { return {static_cast<int>(code), boost::system::system_category()}; }

bool NotFound(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Closes a handle when it goes out of scope.
struct Closing {
  HANDLE handle;
  ~Closing() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

// Opens what stands at `path` as itself with `access` and `share`, telling its kind: a link by the
// reparse tag of what was opened, or by its final path, which a link followed (under Wine, which
// shows a Unix link's reparse attribute by the path alone) makes another. The handle comes back
// only for what is no link.
error_code OpenAsItself(const fs::path& path, DWORD access, DWORD share, HANDLE& handle, PathKind& kind) {
  handle = INVALID_HANDLE_VALUE;
  const std::wstring verbatim = VerbatimPath(path.native());
  const DWORD attributes = GetFileAttributesW(verbatim.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD failure = GetLastError();
    kind = PathKind::kAbsent;
    return NotFound(failure) ? error_code() : SystemError(failure);
  }
  kind = PathKind::kLink;
  const std::wstring expected = ExpectedFinalPath(path.native());
  if (expected.empty()) {
    const DWORD failure = GetLastError();
    return SystemError(failure != ERROR_SUCCESS ? failure : ERROR_PATH_NOT_FOUND);
  }
  const HANDLE opened = CreateFileW(verbatim.c_str(), access, share, nullptr, OPEN_EXISTING, kAsItself, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    kind = PathKind::kAbsent;
    return NotFound(failure) ? error_code() : SystemError(failure);
  }
  if (IsLink(opened) || !SamePath(FinalPathOfHandle(opened, expected), expected)) {
    CloseHandle(opened);
    return {};
  }
  kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kFolder : PathKind::kOther;
  handle = opened;
  return {};
}

}  // namespace

error_code KindOfPath(const fs::path& path, PathKind& kind) {
  // A folder whose path shows no reparse point is a folder: Windows and Wine both mark a link to a
  // folder so. Anything else is opened, since Wine shows a link to a file as a plain file.
  const DWORD attributes = GetFileAttributesW(VerbatimPath(path.native()).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    kind = PathKind::kFolder;
    return {};
  }
  HANDLE handle;
  const error_code error = OpenAsItself(path, FILE_READ_ATTRIBUTES, kShareAll, handle, kind);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return error;
}

// Opened to list it, sharing everything but deletion: other programs open it as they please, but
// none renames or removes it while it is held. A handle that may only read attributes would not
// do: the system checks sharing only for handles that read, write or delete.
error_code HoldFolder(const fs::path& folder, HeldFolder& held, PathKind& kind) {
  held.reset();
  HANDLE handle;
  const error_code error = OpenAsItself(folder, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, handle, kind);
  if (handle == INVALID_HANDLE_VALUE) return error;
  BY_HANDLE_FILE_INFORMATION information;
  if (kind != PathKind::kFolder || !GetFileInformationByHandle(handle, &information)) {
    const DWORD failure = kind == PathKind::kFolder ? GetLastError() : ERROR_SUCCESS;
    CloseHandle(handle);
    return failure != ERROR_SUCCESS ? SystemError(failure) : error_code();
  }
  held = HeldFolder(new HeldDirectory{handle, information.dwVolumeSerialNumber, information.nFileIndexHigh,
                                      information.nFileIndexLow},
                    [](void* directory) {
                      CloseHandle(static_cast<HeldDirectory*>(directory)->handle);
                      delete static_cast<HeldDirectory*>(directory);
                    });
  return {};
}

bool NamesHeldFolder(const HeldFolder& held, const fs::path& folder) {
  if (!held) return false;
  HANDLE handle;
  PathKind kind;
  if (OpenAsItself(folder, FILE_READ_ATTRIBUTES, kShareAll, handle, kind) || handle == INVALID_HANDLE_VALUE) return false;
  const Closing closing{handle};
  BY_HANDLE_FILE_INFORMATION information;
  const HeldDirectory& directory = *HeldOf(held);
  return kind == PathKind::kFolder && GetFileInformationByHandle(handle, &information) &&
         information.dwVolumeSerialNumber == directory.volume && information.nFileIndexHigh == directory.indexHigh &&
         information.nFileIndexLow == directory.indexLow;
}

// Ordinal, letter case folded by the system's own table: what NTFS does, unlike any locale's rules.
int CompareFileNames(const NativeString& first, const NativeString& second) {
  return CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                              static_cast<int>(second.size()), TRUE) -
         CSTR_EQUAL;
}

int CompareFileNamesAsWindows(const NativeString& first, const NativeString& second) {
  return CompareFileNames(first, second);
}

boost::system::error_code ReadWholeFile(const NativeString& file, std::uintmax_t limit, std::string& bytes,
                                        ReadSharing sharing) {
  using boost::system::errc::make_error_code;
  bytes.clear();
  RegularFile opened;
  DWORD failure = OpenRegularFile(file, 0, opened, sharing);
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
