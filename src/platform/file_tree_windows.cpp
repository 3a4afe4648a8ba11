#include "platform/file_tree.hpp"

#include <windows.h>

namespace {
using boost::system::error_code;

error_code SystemError(DWORD error) { return {static_cast<int>(error), boost::system::system_category()}; }

// Walks the folder at `folder`, a verbatim path; `prefix` is its relative path.
error_code WalkFolder(const std::wstring& folder, const NativeString& prefix,
                      const std::function<WalkStep(const TreeEntry&)>& visit, bool& stopped) {
  WIN32_FIND_DATAW found;
  // The basic information alone (no short names), in large batches.
  const HANDLE listing = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                          nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (listing == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    // A folder with not even "." in it: a volume's root can be so.
    return error == ERROR_FILE_NOT_FOUND ? error_code() : SystemError(error);
  }
  error_code error;
  TreeEntry entry;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    entry = TreeEntry{};
    entry.relative = prefix.empty() ? name : prefix + L'/' + name;
    // dwReserved0 holds the tag only where the attributes mark a reparse point.
    entry.kind = KindOfListedEntry(found.dwFileAttributes,
                                   (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? found.dwReserved0 : 0);
    const std::wstring path = folder + L'\\' + name;
    WalkStep step = visit(entry);
    if (step == WalkStep::kRead && entry.kind == EntryKind::kFile) {
      entry.error = Sha256OfFile(path, entry.digest);
      entry.read = true;
      step = visit(entry);
    }
    if (step == WalkStep::kStop) {
      stopped = true;
    } else if (entry.kind == EntryKind::kFolder && step != WalkStep::kSkip) {
      error = WalkFolder(path, entry.relative, visit, stopped);
    }
  } while (!error && !stopped && FindNextFileW(listing, &found));
  if (!error && !stopped && GetLastError() != ERROR_NO_MORE_FILES) error = SystemError(GetLastError());
  FindClose(listing);
  return error;
}
}  // namespace

error_code WalkTree(const NativeString& root, const std::function<WalkStep(const TreeEntry&)>& visit) {
  const std::wstring folder = VerbatimPath(root);
  // A listing of a junction or a link lists what it leads to: one at the root is not walked.
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return SystemError(GetLastError());
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return SystemError(ERROR_CANT_ACCESS_FILE);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return SystemError(ERROR_DIRECTORY);
  bool stopped = false;
  return WalkFolder(folder, NativeString(), visit, stopped);
}

// A relative path is made full against the current folder, as every other call would take it.
NativeString VerbatimPath(const NativeString& path) {
  std::wstring current(MAX_PATH, L'\0');
  DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data());
  if (length >= current.size()) {
    current.resize(length);
    length = GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data());
  }
  current.resize(length < current.size() ? length : 0);
  return WindowsVerbatimForm(path, current);
}
