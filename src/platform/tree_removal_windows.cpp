#include <windows.h>

#include <boost/filesystem/exception.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_ops.hpp"
#include "platform/final_path_windows.hpp"
#include "platform/held_folder_windows.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A link opened as itself. Wine opens what a Unix link points to whatever the flags, and shows a
// link to a file as a plain file: there only the final path of what was opened tells.
constexpr DWORD kAsItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// FileDispositionInfoEx, which the headers declare only for Windows 10 1709 and later.
constexpr auto kDispositionEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

error_code SystemError(DWORD code) { return {static_cast<int>(code), boost::system::system_category()}; }

bool NotFound(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Closes a handle when it goes out of scope.
struct Closing {
  HANDLE handle;
  ~Closing() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

using Entries = std::vector<std::pair<std::wstring, DWORD>>;

// The name and attributes of every entry of the folder `full` (in the system's form; `shown` in
// errors), its listing closed before this returns.
Entries EntriesOf(const std::wstring& full, const fs::path& shown) {
  Entries entries;
  WIN32_FIND_DATAW entry;
  const HANDLE listing = FindFirstFileExW((full + L"\\*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                          nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (listing == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    if (failure == ERROR_FILE_NOT_FOUND) return entries;
    throw fs::filesystem_error("cannot list", shown, SystemError(failure));
  }
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") entries.emplace_back(name, entry.dwFileAttributes);
  } while (FindNextFileW(listing, &entry));
  FindClose(listing);
  return entries;
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
  if (SamePath(FinalPathOfHandle(handle, full), full)) return handle;
  CloseHandle(handle);
  return INVALID_HANDLE_VALUE;
}

// With POSIX semantics the name goes as the handle closes, even while a scanner still holds the
// file (sharing deletion), so that its folder can go next; older systems, other file systems and
// Wine 8 refuse that class, and get the classic disposition, whose name stays until the last
// handle closes.
bool MarkForDeletion(HANDLE handle) {
  FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
  if (SetFileInformationByHandle(handle, kDispositionEx, &posix, sizeof posix)) return true;
  const DWORD failure = GetLastError();
  if (failure != ERROR_INVALID_PARAMETER && failure != ERROR_NOT_SUPPORTED && failure != ERROR_INVALID_FUNCTION) {
    return false;
  }
  FILE_DISPOSITION_INFO classic{TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &classic, sizeof classic);
}

// Deletes the entry whose name in the system's form is `full` (a file, a link, an emptied folder)
// through a handle on the entry itself, checked to be what the name names; false where it is not
// (a link Wine shows as what it points to), which is left.
bool DeleteEntry(const std::wstring& full, const fs::path& shown, DWORD attributes) {
  bool missing = false;
  const Closing entry{OpenEntry(full, shown, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, missing)};
  if (missing) return true;
  if (entry.handle == INVALID_HANDLE_VALUE) return false;
  // A read-only file or folder cannot be deleted: the attribute goes first.
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FILE_BASIC_INFO basic{};
    const DWORD kept = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(entry.handle, FileBasicInfo, &basic, sizeof basic);
  }
  if (!MarkForDeletion(entry.handle)) {
    const DWORD failure = GetLastError();
    throw fs::filesystem_error("cannot remove", shown, SystemError(failure));
  }
  return true;
}

// What to do with an entry its folder listed.
enum class Found {
  kGone,    // nothing there any more
  kLeft,    // a link this system removes only by reaching what it points to (Wine)
  kDelete,  // a file, or a link removed as the link
  kEmpty,   // a folder, emptied before it is deleted
};

// A folder is looked at through a handle that asks for no deletion, closed at once: Wine's listing
// of the folder would not share one that did.
Found Look(const std::wstring& full, const fs::path& shown, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return Found::kDelete;
  bool missing = false;
  const Closing folder{OpenEntry(full, shown, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, missing)};
  if (missing) return Found::kGone;
  if (folder.handle == INVALID_HANDLE_VALUE) return Found::kLeft;
  return IsLink(folder.handle) ? Found::kDelete : Found::kEmpty;
}

// A folder being emptied: what it listed and how far the removal got; `keep` once a link is left
// below it.
struct Level {
  std::wstring full;
  fs::path shown;
  DWORD attributes;
  Entries entries;
  std::size_t next = 0;
  bool keep = false;
};

// Removes the entry whose name in the system's form is `full`, with the attributes its folder
// listed, depth first: a folder's entries are listed and its listing closed before any is removed,
// so that the removal holds a handle or two whatever the depth. A link is removed as a link or,
// where it cannot be (Wine), left in place with every folder above it.
void RemoveEntry(const std::wstring& full, const fs::path& shown, DWORD attributes, Removal& removal) {
  std::vector<Level> levels;
  const auto leave = [&](const fs::path& link) {
    if (removal.outcome == Removed::kAll) removal = {Removed::kLinkLeft, link};
    for (Level& level : levels) level.keep = true;
  };
  const auto take = [&](const std::wstring& entry, const fs::path& entryShown, DWORD entryAttributes) {
    switch (Look(entry, entryShown, entryAttributes)) {
      case Found::kGone:
        return;
      case Found::kLeft:
        return leave(entryShown);
      case Found::kDelete:
        if (!DeleteEntry(entry, entryShown, entryAttributes)) leave(entryShown);
        return;
      case Found::kEmpty:
        levels.push_back(Level{entry, entryShown, entryAttributes, EntriesOf(entry, entryShown)});
        return;
    }
  };
  take(full, shown, attributes);
  while (!levels.empty()) {
    if (levels.back().next < levels.back().entries.size()) {
      const Level& level = levels.back();
      const auto& [name, entryAttributes] = level.entries[level.next];
      ++levels.back().next;
      take(Joined(level.full, name), Shown(level.shown, name), entryAttributes);
      continue;
    }
    const Level emptied = std::move(levels.back());
    levels.pop_back();
    if (!emptied.keep && !DeleteEntry(emptied.full, emptied.shown, emptied.attributes)) leave(emptied.shown);
  }
}
}  // namespace

// The library's removal follows a Unix link under Wine, which shows it as what it points to
// through a handle: each entry is removed here through a handle checked against its name.
Removal RemoveTree(const fs::path& root) {
  const DWORD attributes = GetFileAttributesW(VerbatimPath(root.native()).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD failure = GetLastError();
    if (NotFound(failure)) return {};
    throw fs::filesystem_error("cannot remove", root, SystemError(failure));
  }
  const std::wstring full = ExpectedFinalPath(root.native());
  if (full.empty()) {
    const DWORD failure = GetLastError();
    throw fs::filesystem_error("cannot remove", root, SystemError(failure));
  }
  Removal removal;
  RemoveEntry(full, root, attributes, removal);
  return removal;
}

// Emptied while held, so nobody can rename it meanwhile and put another in its place; then let go,
// since the handle shares no deletion, not even with this process, and removed by its name, which
// removes only an empty folder: whatever was renamed into its place since stays.
Removal RemoveHeldFolder(HeldFolder& held, const fs::path& folder) {
  if (!NamesHeldFolder(held, folder)) return {Removed::kNotHeld, {}};
  const std::wstring full = ExpectedFinalPath(folder.native());
  if (full.empty()) {
    const DWORD failure = GetLastError();
    throw fs::filesystem_error("cannot remove", folder, SystemError(failure));
  }
  Removal removal;
  for (const auto& [name, attributes] : EntriesOf(full, folder)) {
    RemoveEntry(Joined(full, name), Shown(folder, name), attributes, removal);
  }
  held.reset();
  if (removal.outcome == Removed::kAll && !RemoveDirectoryW(full.c_str())) {
    const DWORD failure = GetLastError();
    if (!NotFound(failure)) throw fs::filesystem_error("cannot remove the folder", folder, SystemError(failure));
  }
  return removal;
}
