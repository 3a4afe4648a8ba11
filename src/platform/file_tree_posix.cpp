#include "platform/file_tree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/digest_posix.hpp"

namespace {
using boost::system::error_code;

error_code LastError() { return {errno, boost::system::system_category()}; }

// The listing's type where the file system gives it, the entry's own status (never followed)
// where it does not.
EntryKind KindOf(int folder, const dirent& found) {
  unsigned char type = found.d_type;
  if (type == DT_UNKNOWN) {
    struct stat status;
    if (fstatat(folder, found.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kSpecial;
    const mode_t mode = status.st_mode;
    type = S_ISDIR(mode) ? DT_DIR : S_ISREG(mode) ? DT_REG : S_ISLNK(mode) ? DT_LNK : DT_SOCK;
  }
  return type == DT_DIR ? EntryKind::kFolder : type == DT_REG ? EntryKind::kFile : type == DT_LNK ? EntryKind::kLink
                                                                                                  : EntryKind::kSpecial;
}

// Walks the folder open as `descriptor`, which it takes over; `prefix` is its relative path.
error_code WalkFolder(int descriptor, const NativeString& prefix, const std::function<WalkStep(const TreeEntry&)>& visit,
                      bool& stopped) {
  DIR* const listing = fdopendir(descriptor);
  if (listing == nullptr) {
    const error_code error = LastError();
    close(descriptor);
    return error;
  }
  const int folder = dirfd(listing);
  error_code error;
  TreeEntry entry;
  while (!error && !stopped) {
    errno = 0;
    const dirent* const found = readdir(listing);
    if (found == nullptr) {
      if (errno != 0) error = LastError();
      break;
    }
    if (std::strcmp(found->d_name, ".") == 0 || std::strcmp(found->d_name, "..") == 0) continue;
    entry = TreeEntry{};
    entry.relative = prefix.empty() ? NativeString(found->d_name) : prefix + '/' + found->d_name;
    entry.kind = KindOf(folder, *found);
    WalkStep step = visit(entry);
    if (step == WalkStep::kRead && entry.kind == EntryKind::kFile) {
      entry.error = Sha256OfFileAt(folder, found->d_name, entry.digest);
      entry.read = true;
      step = visit(entry);
    }
    if (step == WalkStep::kStop) {
      stopped = true;
    } else if (entry.kind == EntryKind::kFolder && step != WalkStep::kSkip) {
      const int child = openat(folder, found->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      error = child < 0 ? LastError() : WalkFolder(child, entry.relative, visit, stopped);
    }
  }
  closedir(listing);
  return error;
}
}  // namespace

error_code WalkTree(const NativeString& root, const std::function<WalkStep(const TreeEntry&)>& visit) {
  const int descriptor = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) return LastError();
  bool stopped = false;
  return WalkFolder(descriptor, NativeString(), visit, stopped);
}

NativeString VerbatimPath(const NativeString& path) { return path; }
