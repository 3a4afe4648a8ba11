#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/file_tree.hpp"

// A file OpenRegularFile opened, and what its handle told of it.
struct RegularFile {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::uint64_t size = 0;
  std::uint64_t names = 0;  // its hard links
  bool special = false;     // no regular file: not opened
};

// Opens the regular file at `file` for reading, shared as `sharing` says, as itself: by its
// verbatim path ("nul.txt" is that file, not the NUL device), and never what a reparse point leads
// to. A reparse point that stands for a file (deduplicated, compressed, a cloud file on disk) is
// opened again from that handle through its file system's filter, and so is still this file.
// Anything else is `special`, and left closed. Returns the system's error, or 0.
inline DWORD OpenRegularFile(const std::wstring& file, DWORD flags, RegularFile& opened,
                             ReadSharing sharing = ReadSharing::kReaders) {
  opened = RegularFile{};
  const DWORD share = FILE_SHARE_READ | (sharing == ReadSharing::kReadersAndDeletion ? FILE_SHARE_DELETE : 0);
  // A folder opens too (backup semantics), to be told apart by its handle.
  HANDLE handle = CreateFileW(VerbatimPath(file).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                              flags | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  // Not GetFileInformationByHandle: under Wine it asks for the file's name too, which costs more
  // than reading a small file.
  FILE_STANDARD_INFO standard{};
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
      !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
    const DWORD failure = GetLastError();
    CloseHandle(handle);
    return failure;
  }
  const bool reparsePoint = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  opened.special = KindOfListedEntry(tag.FileAttributes, reparsePoint ? tag.ReparseTag : 0) != EntryKind::kFile;
  opened.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
  opened.names = standard.NumberOfLinks;
  DWORD failure = 0;
  if (!opened.special && reparsePoint) {
    const HANDLE filtered = ReOpenFile(handle, GENERIC_READ, share, flags);
    failure = filtered == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    CloseHandle(handle);
    handle = filtered;
  }
  if (opened.special && handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  opened.handle = handle;
  return failure;
}
