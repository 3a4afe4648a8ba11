#include "platform/file_tree.hpp"

#include <algorithm>
#include <vector>

// Windows' numbers, the same on every Windows, written here so that the meaning is decided, and
// tested, on every platform.
EntryKind KindOfListedEntry(std::uint32_t attributes, std::uint32_t reparseTag) {
  constexpr std::uint32_t kDirectory = 0x10;                // FILE_ATTRIBUTE_DIRECTORY
  constexpr std::uint32_t kDevice = 0x40;                   // FILE_ATTRIBUTE_DEVICE
  constexpr std::uint32_t kReparsePoint = 0x400;            // FILE_ATTRIBUTE_REPARSE_POINT
  constexpr std::uint32_t kOffline = 0x1000;                // FILE_ATTRIBUTE_OFFLINE
  constexpr std::uint32_t kRecallOnOpen = 0x40000;          // FILE_ATTRIBUTE_RECALL_ON_OPEN
  constexpr std::uint32_t kRecallOnDataAccess = 0x400000;   // FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
  constexpr std::uint32_t kNameSurrogate = 0x20000000;      // IsReparseTagNameSurrogate
  constexpr std::uint32_t kAppExecutionAlias = 0x8000001B;  // IO_REPARSE_TAG_APPEXECLINK
  // A Unix socket, and WSL's pipes and devices (IO_REPARSE_TAG_AF_UNIX, _LX_FIFO, _LX_CHR, _LX_BLK).
  constexpr std::uint32_t kSpecialFiles[] = {0x80000023, 0x80000024, 0x80000025, 0x80000026};
  if ((attributes & kReparsePoint) != 0) {
    if ((reparseTag & kNameSurrogate) != 0 || reparseTag == kAppExecutionAlias) return EntryKind::kLink;
    if ((attributes & kDirectory) != 0) return EntryKind::kSpecial;
    for (const std::uint32_t special : kSpecialFiles) {
      if (reparseTag == special) return EntryKind::kSpecial;
    }
  }
  if ((attributes & kDirectory) != 0) return EntryKind::kFolder;
  // Deduplicated, compressed (WOF) and present cloud files read as the files they stand for.
  return (attributes & (kDevice | kOffline | kRecallOnOpen | kRecallOnDataAccess)) != 0 ? EntryKind::kSpecial
                                                                                          : EntryKind::kFile;
}

namespace {
bool DriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Splits a full path (`\` between names) into the verbatim form of its root (`\\?\C:\`,
// `\\?\UNC\server\share\`) and the rest; false for a path that is not full.
bool SplitFull(const std::wstring& path, std::wstring& root, std::wstring& rest) {
  if (path.size() >= 3 && DriveLetter(path[0]) && path[1] == L':' && path[2] == L'\\') {
    root = L"\\\\?\\" + path.substr(0, 3);
    rest = path.substr(3);
    return true;
  }
  if (!path.starts_with(L"\\\\")) return false;
  const std::size_t server = path.find(L'\\', 2);
  const std::size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
  const std::size_t end = share == std::wstring::npos ? path.size() : share;
  if (server == std::wstring::npos || server == 2 || end == server + 1) return false;
  root = L"\\\\?\\UNC\\" + path.substr(2, end - 2) + L'\\';
  rest = end < path.size() ? path.substr(end + 1) : std::wstring();
  return true;
}
}  // namespace

std::wstring WindowsVerbatimForm(const std::wstring& path, const std::wstring& current) {
  if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\")) return path;
  std::wstring text = path, folder = current;
  for (std::wstring* each : {&text, &folder}) {
    for (wchar_t& c : *each) c = c == L'/' ? L'\\' : c;
  }
  std::wstring root, rest;
  if (!SplitFull(text, root, rest)) {
    std::wstring currentRoot, currentRest;
    // A share named without its server or its share's name cannot be made full either.
    if (text.starts_with(L"\\\\") || !SplitFull(folder, currentRoot, currentRest)) return path;
    const bool drive = text.size() >= 2 && DriveLetter(text[0]) && text[1] == L':';
    if (drive && (folder[1] != L':' || (folder[0] | 0x20) != (text[0] | 0x20))) {
      // Another drive's own current folder is not known here: its root stands in.
      root = L"\\\\?\\" + text.substr(0, 2) + L'\\';
      rest = text.substr(2);
    } else {
      root = currentRoot;
      rest = text.starts_with(L'\\') ? text : currentRest + L'\\' + (drive ? text.substr(2) : text);
    }
  }
  std::vector<std::wstring> names;
  for (std::size_t at = 0; at <= rest.size();) {
    const std::size_t end = std::min(rest.find(L'\\', at), rest.size());
    const std::wstring name = rest.substr(at, end - at);
    if (name == L".." && !names.empty()) names.pop_back();
    if (!name.empty() && name != L"." && name != L"..") names.push_back(name);
    at = end + 1;
  }
  std::wstring full = root;
  for (std::size_t i = 0; i < names.size(); ++i) full += (i == 0 ? L"" : L"\\") + names[i];
  return full;
}
