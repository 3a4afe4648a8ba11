#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/file_tree.hpp"

// The path of what `handle` was opened on, as the system names it once links, short names and
// letter case are resolved, in the system's own form ("\\?\C:\...", "\\?\UNC\server\..."); empty
// when it cannot be told.
inline std::wstring FinalPathOfHandle(HANDLE handle) {
  std::vector<wchar_t> buffer(0x8000);
  const DWORD length =
      GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
  if (length == 0 || length >= buffer.size()) return {};
  return std::wstring(buffer.data(), length);
}

// The same for a handle opened on a path of the volume `onTheVolume` lies on. Wine 8 reads a final
// path into a buffer of MAX_PATH characters whatever the caller gives, and fails past it
// (ERROR_MORE_DATA): there the handle's name below its volume (FileNameInfo, which has no such
// limit) is joined to the root of `onTheVolume`. Windows never fails so.
inline std::wstring FinalPathOfHandle(HANDLE handle, const std::wstring& onTheVolume) {
  std::wstring final = FinalPathOfHandle(handle);
  if (!final.empty() || GetLastError() != ERROR_MORE_DATA) return final;
  const std::wstring verbatim = VerbatimPath(onTheVolume);
  const bool share = verbatim.starts_with(L"\\\\?\\UNC\\");
  if (!share && !(verbatim.size() >= 6 && verbatim.starts_with(L"\\\\?\\") && verbatim[5] == L':')) return {};
  std::vector<char> buffer(sizeof(FILE_NAME_INFO) + 0x10000 * sizeof(wchar_t));
  auto* const name = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
  if (!GetFileInformationByHandleEx(handle, FileNameInfo, name, static_cast<DWORD>(buffer.size()))) return {};
  return verbatim.substr(0, share ? 7 : 6) + std::wstring(name->FileName, name->FileNameLength / sizeof(wchar_t));
}

// `path` as the system names it once links, short names and letter case are resolved, in the
// system's own form; empty when it cannot be opened.
inline std::wstring SystemFinalPathOf(const std::wstring& path) {
  const HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  std::wstring final = FinalPathOfHandle(handle, path);
  CloseHandle(handle);
  return final;
}

// `name` in `folder`, a path in the system's form.
inline std::wstring Joined(const std::wstring& folder, const std::wstring& name) {
  return folder.ends_with(L'\\') ? folder + name : folder + L'\\' + name;
}

// Whether two final paths name the same file: letters compared as file names compare.
inline bool SamePath(const std::wstring& first, const std::wstring& second) {
  return !first.empty() && CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

// A symbolic link, a junction, a mount point, a WSL link: a reparse point that names another
// place. Others (a cloud file's placeholder, a deduplicated file) are the thing itself. Wine shows
// no reparse point through a handle.
inline bool IsLink(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(tag.ReparseTag);
}

// The same in the form in which the system reports a process's program: "C:\...", "\\server\...".
inline std::wstring FinalPathOf(const std::wstring& path) {
  const std::wstring final = SystemFinalPathOf(path);
  if (final.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + final.substr(8);
  if (final.rfind(L"\\\\?\\", 0) == 0) return final.substr(4);
  return final;
}

// Where the thing at `path` lies in the system's own form ("\\?\C:\..."), when its folder is
// reached as the system resolves it and no link stands at its own name; empty when its folder
// cannot be opened. Long paths too: the folder is opened by its verbatim form.
inline std::wstring ExpectedFinalPath(const std::wstring& path) {
  std::wstring folder = VerbatimPath(path);
  const std::size_t last = folder.find_last_of(L'\\');
  if (last == std::wstring::npos || last + 1 == folder.size()) return {};
  const std::wstring name = folder.substr(last + 1);
  folder.resize(last);
  if (folder.ends_with(L':')) folder += L'\\';
  const std::wstring final = SystemFinalPathOf(folder);
  return final.empty() ? final : Joined(final, name);
}
