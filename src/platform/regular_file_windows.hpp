#pragma once

#include <windows.h>

#include <string>

#include "platform/file_tree.hpp"

// Opens the regular file at `file` for reading, shared with readers only, as itself: by its
// verbatim path ("nul.txt" is that file, not the NUL device), and never what a reparse point leads
// to. A reparse point that stands for a file (deduplicated, compressed, a cloud file on disk) is
// opened again from that handle through its file system's filter, and so is still this file.
// Anything else sets `special` and leaves `handle` invalid. `information` is the opened file's.
inline DWORD OpenRegularFile(const std::wstring& file, DWORD flags, HANDLE& handle,
                             BY_HANDLE_FILE_INFORMATION& information, bool& special) {
  special = false;
  // A folder opens too (backup semantics), to be told apart by its information.
  handle = CreateFileW(VerbatimPath(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       flags | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  FILE_ATTRIBUTE_TAG_INFO tag{};
  const bool read = GetFileInformationByHandle(handle, &information) &&
                    ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
                     GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag));
  DWORD failure = read ? 0 : GetLastError();
  special = read && KindOfListedEntry(information.dwFileAttributes, tag.ReparseTag) != EntryKind::kFile;
  if (read && !special && (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    const HANDLE filtered = ReOpenFile(handle, GENERIC_READ, FILE_SHARE_READ, flags);
    failure = filtered == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    CloseHandle(handle);
    handle = filtered;
    return failure;
  }
  if (failure != 0 || special) {
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  return failure;
}
