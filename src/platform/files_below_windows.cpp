#include "platform/files_below.hpp"

#include <windows.h>

#include <algorithm>
#include <boost/filesystem/exception.hpp>
#include <string>
#include <vector>

#include "platform/final_path_windows.hpp"
#include "platform/held_folder_windows.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
error_code SystemError(DWORD code) { return {static_cast<int>(code), boost::system::system_category()}; }

bool Missing(const error_code& error) {
  return error.category() == boost::system::system_category() &&
         (error.value() == ERROR_FILE_NOT_FOUND || error.value() == ERROR_PATH_NOT_FOUND);
}

std::vector<std::wstring> NamesOf(const std::wstring& relative) {
  std::vector<std::wstring> names;
  for (std::size_t at = 0; at <= relative.size();) {
    const std::size_t end = std::min(relative.find_first_of(L"/\\", at), relative.size());
    const std::wstring name = relative.substr(at, end - at);
    if (name.empty() || name == L"." || name == L"..") return {};
    names.push_back(name);
    at = end + 1;
  }
  return names;
}

// Opens the folder at `full` as itself into `way`. A name surrogate (a link, a junction) is a link;
// so is, under Wine, a handle whose final path is another (a Unix link followed). Other reparse
// points (a cloud folder, say) are the folder itself.
error_code HoldOnTheWay(const std::wstring& full, FoldersOnTheWay& way) {
  const HANDLE handle = CreateFileW(full.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return SystemError(GetLastError());
  way.handles.push_back(handle);
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) return SystemError(GetLastError());
  if (IsLink(handle) || !SamePath(FinalPathOfHandle(handle, full), full)) {
    return make_error_code(boost::system::errc::too_many_symbolic_link_levels);
  }
  if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return make_error_code(boost::system::errc::not_a_directory);
  return {};
}
}  // namespace

error_code WalkBelow(const HeldFolder& held, const std::wstring& relative, bool make, FoldersOnTheWay& way,
                     std::wstring& full) {
  const std::vector<std::wstring> names = NamesOf(relative);
  if (names.empty()) return make_error_code(boost::system::errc::invalid_argument);
  std::wstring current = FinalPathOfHandle(HeldOf(held)->handle);
  if (current.empty()) return SystemError(GetLastError());
  const std::size_t folders = make ? names.size() : names.size() - 1;
  for (std::size_t i = 0; i < folders; ++i) {
    const std::wstring next = Joined(current, names[i]);
    if (make && !CreateDirectoryW(next.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return SystemError(GetLastError());
    }
    if (const error_code error = HoldOnTheWay(next, way)) return error;
    current = next;
  }
  full = make ? current : Joined(current, names.back());
  return {};
}

error_code KindBelow(const HeldFolder& folder, const NativeString& relative, PathKind& kind) {
  kind = PathKind::kAbsent;
  FoldersOnTheWay way;
  std::wstring full;
  const error_code error = WalkBelow(folder, relative, false, way, full);
  if (Missing(error) || error == boost::system::errc::not_a_directory) return {};
  return error ? error : KindOfPath(fs::path(full), kind);
}

error_code MakeFoldersBelow(const HeldFolder& folder, const NativeString& relative) {
  FoldersOnTheWay way;
  std::wstring full;
  return WalkBelow(folder, relative, true, way, full);
}

error_code RenameBelow(const HeldFolder& folder, const NativeString& from, const NativeString& to) {
  FoldersOnTheWay fromWay, toWay;
  std::wstring fromFull, toFull;
  if (const error_code error = WalkBelow(folder, from, false, fromWay, fromFull)) return error;
  if (const error_code error = WalkBelow(folder, to, false, toWay, toFull)) return error;
  return RenamePath(fs::path(fromFull), fs::path(toFull), Replacing::kEvenWhileOpen);
}

// Deleted as its handle closes, however the run ends; hidden and temporary, so that nothing
// (an indexer, the file system's cache) takes an interest in it meanwhile.
error_code ProbeWriting(const HeldFolder& folder) {
  const std::wstring root = FinalPathOfHandle(HeldOf(folder)->handle);
  if (root.empty()) return SystemError(GetLastError());
  const std::wstring name = L"velmora-update.probe." + std::to_wstring(GetCurrentProcessId()) + L"." +
                            std::to_wstring(GetTickCount64());
  const HANDLE made = CreateFileW(Joined(root, name).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (made == INVALID_HANDLE_VALUE) return SystemError(GetLastError());
  CloseHandle(made);
  return {};
}

Removal RemoveBelow(const HeldFolder& folder, const NativeString& relative) {
  FoldersOnTheWay way;
  std::wstring full;
  const error_code error = WalkBelow(folder, relative, false, way, full);
  if (Missing(error) || error == boost::system::errc::not_a_directory) return {};
  if (error) throw fs::filesystem_error("cannot remove", fs::path(relative), error);
  Removal removal = RemoveTree(fs::path(full));
  // The link left, named below the held folder as the caller named it.
  if (removal.outcome == Removed::kLinkLeft && removal.link.native().starts_with(full)) {
    removal.link = fs::path(relative + removal.link.native().substr(full.size()));
  }
  return removal;
}
