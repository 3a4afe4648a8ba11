#pragma once
// What a HeldFolder holds natively, and the way down from it one name at a time: private to the
// platform's own files.

#include <sys/types.h>

#include <boost/filesystem/path.hpp>

#include <string>
#include <vector>

#include "platform/file_ops.hpp"

struct HeldDirectory {
  int descriptor;
  dev_t device;
  ino_t inode;
};

inline const HeldDirectory* HeldOf(const HeldFolder& held) { return static_cast<const HeldDirectory*>(held.get()); }

// The names of `relative`, `/` between them; none empty, "." or "..".
std::vector<std::string> NamesOf(const std::string& relative);

// A descriptor of the folder of the first `count` of `names` below the folder open as `root`, each
// opened from the one above it and never through a link (ELOOP), missing ones made with `make`; the
// descriptor, closed by the caller, or -1 with errno set. With `count` 0, a descriptor of `root`.
int OpenFolderBelow(int root, const std::vector<std::string>& names, std::size_t count, bool make);

// Removes what stands at `name` in the folder open as `parent`, as RemoveTree does: a link as the
// link, nothing below on another file system, holding a bounded number of descriptors whatever the
// depth. Folders below it that their owner may not list or write are opened up first; so is
// `parent` itself where `mayOpenUpParent`. Throws the library's error, naming `shown` or a path
// below it.
void RemoveEntryAt(int parent, const std::string& name, const boost::filesystem::path& shown, bool mayOpenUpParent);
