#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/file_ops.hpp"
#include "platform/held_folder_posix.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
error_code ErrorOf(int number) { return {number, boost::system::system_category()}; }

[[noreturn]] void Refused(const fs::path& shown, int number) {
  throw fs::filesystem_error("cannot remove", shown, ErrorOf(number));
}

// One descriptor, closed when replaced or gone.
struct Descriptor {
  int value = -1;
  Descriptor() = default;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { Replace(-1); }
  void Replace(int next) {
    if (value >= 0) ::close(value);
    value = next;
  }
};

// Gives the owner every right on the folder open as `folder`, so that it can be listed and emptied.
bool OpenUp(int folder) {
  struct stat info;
  return ::fstat(folder, &info) == 0 && ::fchmod(folder, (info.st_mode & 07777) | S_IRWXU) == 0;
}

// The names in the folder open as `folder`, read through a descriptor of its own that is closed
// before this returns.
std::vector<std::string> NamesIn(int folder, const fs::path& shown) {
  int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listed < 0 && errno == EACCES && OpenUp(folder)) listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* const listing = listed < 0 ? nullptr : ::fdopendir(listed);
  if (listing == nullptr) {
    const int failure = errno;
    if (listed >= 0) ::close(listed);
    throw fs::filesystem_error("cannot list", shown, ErrorOf(failure));
  }
  std::vector<std::string> names;
  errno = 0;
  for (const dirent* entry = ::readdir(listing); entry != nullptr; entry = ::readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.emplace_back(entry->d_name);
  }
  const int failure = errno;
  ::closedir(listing);
  if (failure != 0) throw fs::filesystem_error("cannot list", shown, ErrorOf(failure));
  return names;
}

// Removes the name `name` in the folder open as `folder` (a folder's only once it is empty), giving
// that folder's owner the rights to it first where they are missing and `mayOpenUp`.
void Unlink(int folder, const std::string& name, int flags, const fs::path& shown, bool mayOpenUp) {
  if (::unlinkat(folder, name.c_str(), flags) == 0 || errno == ENOENT) return;
  const int failure = errno;
  if ((failure == EACCES || failure == EPERM) && mayOpenUp && OpenUp(folder) &&
      (::unlinkat(folder, name.c_str(), flags) == 0 || errno == ENOENT)) {
    return;
  }
  Refused(shown, failure);
}

// The folder `name` in the folder open as `parent`, opened as itself, never through a link; an
// unreadable one is made readable by its owner first.
int OpenFolder(int parent, const std::string& name, const fs::path& shown) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int folder = ::openat(parent, name.c_str(), kFlags);
  struct stat info;
  if (folder < 0 && errno == EACCES && ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(info.st_mode) &&
      ::fchmodat(parent, name.c_str(), (info.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0) {
    folder = ::openat(parent, name.c_str(), kFlags);
  }
  if (folder < 0) Refused(shown, errno);
  return folder;
}

// A folder on the way down: its name in the folder above, the names still to remove in it, and
// what it is, checked when the way back up reaches it again.
struct Level {
  std::string name;
  std::vector<std::string> names;
  std::size_t next = 0;
  dev_t device = 0;
  ino_t inode = 0;
};

Level LevelOf(int folder, const std::string& name, const fs::path& shown) {
  struct stat info;
  if (::fstat(folder, &info) != 0) Refused(shown, errno);
  return Level{name, NamesIn(folder, shown), 0, info.st_dev, info.st_ino};
}
}  // namespace

// Depth first, holding the folder being emptied and, for a moment, the one above it, whatever the
// depth: the way back up goes through each folder's "..", which must be the folder it came from
// (one moved meanwhile stops the removal). The names of the folders on the way are kept instead.
void RemoveEntryAt(int parent, const std::string& name, const fs::path& shown, bool mayOpenUpParent) {
  struct stat info;
  if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return;
    Refused(shown, errno);
  }
  if (!S_ISDIR(info.st_mode)) return Unlink(parent, name, 0, shown, mayOpenUpParent);
  const dev_t fileSystem = info.st_dev;
  Descriptor current;
  current.value = OpenFolder(parent, name, shown);
  std::vector<Level> levels{LevelOf(current.value, name, shown)};
  fs::path at = shown;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next < level.names.size()) {
      const std::string& entry = level.names[level.next++];
      const fs::path below = at / entry;
      if (::fstatat(current.value, entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;
        Refused(below, errno);
      }
      if (!S_ISDIR(info.st_mode)) {
        Unlink(current.value, entry, 0, below, true);
        continue;
      }
      if (info.st_dev != fileSystem) Refused(below, EXDEV);
      current.Replace(OpenFolder(current.value, entry, below));
      levels.push_back(LevelOf(current.value, entry, below));
      at = below;
      continue;
    }
    const std::string emptied = level.name;
    levels.pop_back();
    if (levels.empty()) {
      current.Replace(-1);
      return Unlink(parent, emptied, AT_REMOVEDIR, at, mayOpenUpParent);
    }
    const int above = ::openat(current.value, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (above < 0) Refused(at, errno);
    current.Replace(above);
    if (::fstat(above, &info) != 0 || info.st_dev != levels.back().device || info.st_ino != levels.back().inode) {
      Refused(at, EXDEV);
    }
    Unlink(above, emptied, AT_REMOVEDIR, at, true);
    at = at.parent_path();
  }
}

// The kernel lists every mount point of this process's view in /proc/self/mountinfo, whatever
// the folders on the way may be read by: the fifth field of a line, with blanks, tabs, line feeds
// and backslashes written as octal escapes.
void RequireOneFileSystem(const fs::path& root) {
  const fs::path folder = fs::canonical(root);
  std::ifstream mounts("/proc/self/mountinfo");
  if (!mounts) throw fs::filesystem_error("cannot read the mount points", root, ErrorOf(errno));
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, mountRoot, escaped;
    if (!(fields >> id >> parent >> device >> mountRoot >> escaped)) continue;
    std::string mountPoint;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
      const auto octal = [&](std::size_t at) { return at < escaped.size() && escaped[at] >= '0' && escaped[at] <= '7'; };
      if (escaped[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
        mountPoint += static_cast<char>((escaped[i + 1] - '0') * 64 + (escaped[i + 2] - '0') * 8 + (escaped[i + 3] - '0'));
        i += 3;
      } else {
        mountPoint += escaped[i];
      }
    }
    const std::string& prefix = folder.native();
    if (mountPoint == prefix || (mountPoint.starts_with(prefix) && mountPoint[prefix.size()] == '/')) {
      throw fs::filesystem_error("a file system is mounted below a folder to remove", mountPoint,
                                 make_error_code(boost::system::errc::cross_device_link));
    }
  }
}

// Removed from the folder above it, opened by its path as any call would resolve it; a link at
// `root` is removed as the link.
Removal RemoveTree(const fs::path& root) {
  struct stat info;
  if (::lstat(root.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    Refused(root, errno);
  }
  if (S_ISDIR(info.st_mode)) RequireOneFileSystem(root);
  const fs::path above = root.has_parent_path() ? root.parent_path() : fs::path(".");
  Descriptor parent;
  parent.value = ::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent.value < 0) Refused(root, errno);
  RemoveEntryAt(parent.value, root.filename().native(), root, false);
  return {};
}

// The entries go through the held descriptor, which names the held folder however it may be
// renamed meanwhile (nothing here keeps it from that); errors name them below `folder`.
Removal RemoveHeldFolder(HeldFolder& held, const fs::path& folder) {
  if (!NamesHeldFolder(held, folder)) return {Removed::kNotHeld, {}};
  const int descriptor = HeldOf(held)->descriptor;
  for (const std::string& name : NamesIn(descriptor, folder)) RemoveEntryAt(descriptor, name, folder / name, true);
  held.reset();
  if (::rmdir(folder.c_str()) != 0 && errno != ENOENT) {
    throw fs::filesystem_error("cannot remove the folder", folder, ErrorOf(errno));
  }
  return {};
}
