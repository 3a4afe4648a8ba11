#include "platform/file_ops.hpp"

#include <windows.h>

#include <boost/filesystem/exception.hpp>

#include "platform/final_path_windows.hpp"
#include "platform/held_folder_windows.hpp"
#include "platform/regular_file_windows.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

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

// Where the thing at `path` lies in the system's own form ("\\?\C:\..."), when its folder is
// reached as the system resolves it and no link stands at its own name; empty when its folder
// cannot be opened.
std::wstring ExpectedFinalPath(const fs::path& path) {
  const std::wstring folder = SystemFinalPathOf(path.parent_path().native());
  return folder.empty() ? folder : Joined(folder, path.filename().native());
}

// Opens what stands at `path` as itself with `access` and `share`, telling its kind: a link by the
// reparse tag of what was opened, or by its final path, which a link followed (under Wine, which
// shows a Unix link's reparse attribute by the path alone) makes another. The handle comes back
// only for what is no link.
error_code OpenAsItself(const fs::path& path, DWORD access, DWORD share, HANDLE& handle, PathKind& kind) {
  handle = INVALID_HANDLE_VALUE;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD failure = GetLastError();
    kind = PathKind::kAbsent;
    return NotFound(failure) ? error_code() : SystemError(failure);
  }
  kind = PathKind::kLink;
  const std::wstring expected = ExpectedFinalPath(path);
  if (expected.empty()) {
    const DWORD failure = GetLastError();
    return SystemError(failure != ERROR_SUCCESS ? failure : ERROR_PATH_NOT_FOUND);
  }
  const HANDLE opened = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, kAsItself, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    kind = PathKind::kAbsent;
    return NotFound(failure) ? error_code() : SystemError(failure);
  }
  if (IsLink(opened) || !SamePath(FinalPathOfHandle(opened), expected)) {
    CloseHandle(opened);
    return {};
  }
  kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kFolder : PathKind::kOther;
  handle = opened;
  return {};
}

// Calls `each` with the name and attributes of every entry of the folder `full` (in the system's
// form; `shown` in errors).
template <typename Each>
void ForEachEntry(const std::wstring& full, const fs::path& shown, const Each& each) {
  WIN32_FIND_DATAW entry;
  const HANDLE listing = FindFirstFileExW((full + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                          nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (listing == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    if (failure == ERROR_FILE_NOT_FOUND) return;
    throw fs::filesystem_error("cannot list", shown, SystemError(failure));
  }
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") each(name, entry.dwFileAttributes);
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
}

fs::path Shown(const fs::path& folder, const std::wstring& name) { return fs::path(Joined(folder.native(), name)); }

// Opens the entry whose name in the system's form is `full` as itself, with `access`: empty when
// what was opened is not what the name names (Wine following a Unix link), and when nothing is
// there (`missing`). Throws when it cannot be opened.
HANDLE OpenEntry(const std::wstring& full, const fs::path& shown, DWORD access, bool& missing) {
  missing = false;
  const HANDLE handle = CreateFileW(full.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, kAsItself, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    missing = NotFound(failure);
    if (missing) return handle;
    throw fs::filesystem_error("cannot remove", shown, SystemError(failure));
  }
  if (SamePath(FinalPathOfHandle(handle), full)) return handle;
  CloseHandle(handle);
  return INVALID_HANDLE_VALUE;
}

// Removes the entry whose name in the system's form is `full` (`shown` in errors), with the
// attributes its folder listed: through a handle on the entry itself, checked to be what the name
// names, so that a link is removed as a link and, where it cannot be (Wine), left in place. A
// folder is emptied first through a handle that asks for no deletion, which Wine's listing of the
// folder would not share.
void RemoveEntry(const std::wstring& full, const fs::path& shown, DWORD attributes, Removal& removal) {
  bool missing = false;
  const auto leave = [&] {
    if (removal.outcome == Removed::kAll) removal = {Removed::kLinkLeft, shown};
  };
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    const Closing folder{OpenEntry(full, shown, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, missing)};
    if (missing) return;
    if (folder.handle == INVALID_HANDLE_VALUE) return leave();
    if (!IsLink(folder.handle)) {
      ForEachEntry(full, shown, [&](const std::wstring& name, DWORD entryAttributes) {
        RemoveEntry(Joined(full, name), Shown(shown, name), entryAttributes, removal);
      });
      // The folder still holds the link.
      if (removal.outcome == Removed::kLinkLeft) return;
    }
  }
  const Closing entry{OpenEntry(full, shown, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, missing)};
  if (missing) return;
  if (entry.handle == INVALID_HANDLE_VALUE) return leave();
  // A read-only file or folder cannot be deleted: the attribute goes first.
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FILE_BASIC_INFO basic{};
    const DWORD kept = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(entry.handle, FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!SetFileInformationByHandle(entry.handle, FileDispositionInfo, &disposition, sizeof disposition)) {
    const DWORD failure = GetLastError();
    throw fs::filesystem_error("cannot remove", shown, SystemError(failure));
  }
}

}  // namespace

error_code KindOfPath(const fs::path& path, PathKind& kind) {
  // A folder whose path shows no reparse point is a folder: Windows and Wine both mark a link to a
  // folder so. Anything else is opened, since Wine shows a link to a file as a plain file.
  const DWORD attributes = GetFileAttributesW(path.c_str());
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

// The library's removal follows a Unix link under Wine, which shows it as what it points to
// through a handle: each entry is removed here through a handle checked against its name.
Removal RemoveTree(const fs::path& root) {
  const DWORD attributes = GetFileAttributesW(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD failure = GetLastError();
    if (NotFound(failure)) return {};
    throw fs::filesystem_error("cannot remove", root, SystemError(failure));
  }
  const std::wstring full = ExpectedFinalPath(root);
  if (full.empty()) {
    const DWORD failure = GetLastError();
    throw fs::filesystem_error("cannot remove", root, SystemError(failure));
  }
  Removal removal;
  RemoveEntry(full, root, attributes, removal);
  return removal;
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

// Emptied while held, so nobody can rename it meanwhile and put another in its place; then let go,
// since the handle shares no deletion, not even with this process, and removed by its name, which
// removes only an empty folder: whatever was renamed into its place since stays.
Removal RemoveHeldFolder(HeldFolder& held, const fs::path& folder) {
  if (!NamesHeldFolder(held, folder)) return {Removed::kNotHeld, {}};
  const std::wstring full = ExpectedFinalPath(folder);
  if (full.empty()) {
    const DWORD failure = GetLastError();
    throw fs::filesystem_error("cannot remove", folder, SystemError(failure));
  }
  Removal removal;
  ForEachEntry(full, folder, [&](const std::wstring& name, DWORD attributes) {
    RemoveEntry(Joined(full, name), Shown(folder, name), attributes, removal);
  });
  held.reset();
  if (removal.outcome == Removed::kAll && !RemoveDirectoryW(full.c_str())) {
    const DWORD failure = GetLastError();
    if (!NotFound(failure)) throw fs::filesystem_error("cannot remove the folder", folder, SystemError(failure));
  }
  return removal;
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
