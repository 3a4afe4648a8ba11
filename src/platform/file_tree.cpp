#include "platform/file_tree.hpp"

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
