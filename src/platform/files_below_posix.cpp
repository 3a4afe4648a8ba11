#include "platform/files_below.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/exception.hpp>
#include <algorithm>
#include <cerrno>

#include "platform/held_folder_posix.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
error_code LastError() { return {errno, boost::system::system_category()}; }

// A descriptor closed when it goes out of scope.
struct Descriptor {
  int value;
  explicit Descriptor(int opened) : value(opened) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (value >= 0) ::close(value);
  }
};

// The folder holding the last of `names` below the held folder, or the failure to reach it.
int OpenParent(const HeldFolder& folder, const std::vector<std::string>& names) {
  if (names.empty()) {
    errno = EINVAL;
    return -1;
  }
  return OpenFolderBelow(HeldOf(folder)->descriptor, names, names.size() - 1, false);
}
}  // namespace

std::vector<std::string> NamesOf(const std::string& relative) {
  std::vector<std::string> names;
  for (std::size_t at = 0; at <= relative.size();) {
    const std::size_t end = std::min(relative.find('/', at), relative.size());
    const std::string name = relative.substr(at, end - at);
    if (name.empty() || name == "." || name == "..") return {};
    names.push_back(name);
    at = end + 1;
  }
  return names;
}

int OpenFolderBelow(int root, const std::vector<std::string>& names, std::size_t count, bool make) {
  int current = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
  for (std::size_t i = 0; current >= 0 && i < count; ++i) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int next = ::openat(current, names[i].c_str(), flags);
    if (next < 0 && errno == ENOENT && make && (::mkdirat(current, names[i].c_str(), 0755) == 0 || errno == EEXIST)) {
      next = ::openat(current, names[i].c_str(), flags);
    }
    int failure = errno;
    // A link opened as a folder without following it fails as no folder (ENOTDIR): told as a link.
    struct stat info;
    if (next < 0 && failure == ENOTDIR && ::fstatat(current, names[i].c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode)) {
      failure = ELOOP;
    }
    ::close(current);
    current = next;
    errno = failure;
  }
  return current;
}

error_code KindBelow(const HeldFolder& folder, const NativeString& relative, PathKind& kind) {
  kind = PathKind::kAbsent;
  const std::vector<std::string> names = NamesOf(relative);
  const Descriptor parent(OpenParent(folder, names));
  if (parent.value < 0) return errno == ENOENT || errno == ENOTDIR ? error_code() : LastError();
  struct stat info;
  if (::fstatat(parent.value, names.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? error_code() : LastError();
  }
  kind = S_ISLNK(info.st_mode) ? PathKind::kLink : S_ISDIR(info.st_mode) ? PathKind::kFolder : PathKind::kOther;
  return {};
}

error_code MakeFoldersBelow(const HeldFolder& folder, const NativeString& relative) {
  const std::vector<std::string> names = NamesOf(relative);
  if (names.empty()) return make_error_code(boost::system::errc::invalid_argument);
  const Descriptor made(OpenFolderBelow(HeldOf(folder)->descriptor, names, names.size(), true));
  return made.value < 0 ? LastError() : error_code();
}

error_code ProbeWriting(const HeldFolder& folder) {
  const int root = HeldOf(folder)->descriptor;
  int made = ::openat(root, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (made < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return LastError();
  if (made < 0) {
    // A file system without unnamed files: a name of this process's own, removed at once.
    const std::string name = ".velmora-update.probe." + std::to_string(::getpid());
    ::unlinkat(root, name.c_str(), 0);
    made = ::openat(root, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (made < 0) return LastError();
    ::unlinkat(root, name.c_str(), 0);
  }
  ::close(made);
  return {};
}

// As RenamePath: the move never replaces a folder, which a plain renameat(2) would when empty.
error_code RenameBelow(const HeldFolder& folder, const NativeString& from, const NativeString& to) {
  const std::vector<std::string> fromNames = NamesOf(from), toNames = NamesOf(to);
  const Descriptor fromParent(OpenParent(folder, fromNames));
  if (fromParent.value < 0) return LastError();
  const Descriptor toParent(OpenParent(folder, toNames));
  if (toParent.value < 0) return LastError();
  const char* const fromName = fromNames.back().c_str();
  const char* const toName = toNames.back().c_str();
  if (::renameat2(fromParent.value, fromName, toParent.value, toName, RENAME_NOREPLACE) == 0) return {};
  const int failure = errno;
  struct stat info;
  const bool folderInTheWay = ::fstatat(toParent.value, toName, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
  // EEXIST: something stands at `to`. EINVAL: the file system cannot refuse to replace.
  if ((failure == EEXIST || failure == EINVAL) && !folderInTheWay) {
    return ::renameat(fromParent.value, fromName, toParent.value, toName) == 0 ? error_code() : LastError();
  }
  return {failure, boost::system::system_category()};
}

// The last name is removed through the parent's own name in /proc, which names that folder
// whatever links the path above it may hold; the library's removal takes the last name as itself.
Removal RemoveBelow(const HeldFolder& folder, const NativeString& relative) {
  const std::vector<std::string> names = NamesOf(relative);
  const Descriptor parent(OpenParent(folder, names));
  if (parent.value < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    throw fs::filesystem_error("cannot remove", fs::path(relative), LastError());
  }
  const std::string self = "/proc/self/fd/" + std::to_string(parent.value);
  try {
    return RemoveTree(fs::path(self) / names.back());
  } catch (const fs::filesystem_error& failure) {
    const std::string text = failure.path1().native();
    const std::string above = relative.substr(0, relative.size() - names.back().size());
    throw fs::filesystem_error("cannot remove", text.starts_with(self) ? above + text.substr(self.size() + 1) : text,
                               failure.code());
  }
}
