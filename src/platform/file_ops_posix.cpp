#include "platform/file_ops.hpp"

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
bool IsDirectory(const boost::filesystem::path& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}
}  // namespace

// A plain rename(2) replaces an empty target directory; a move on Windows never replaces a
// directory, so a leftover empty directory must make the move fail here too.
boost::system::error_code RenamePath(const boost::filesystem::path& from, const boost::filesystem::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  const int failure = errno;
  // EEXIST: the target exists. EINVAL: the file system cannot refuse to replace.
  if ((failure == EEXIST || failure == EINVAL) && !IsDirectory(to)) {
    boost::system::error_code error;
    boost::filesystem::rename(from, to, error);
    return error;
  }
  return {failure, boost::system::system_category()};
}

// Nothing holds a file against a move here but a busy mount or a file system in trouble; a
// permission (EACCES, EPERM) is the same however long one waits.
bool MayPassLater(const boost::system::error_code& failure) {
  if (failure.category() != boost::system::system_category() &&
      failure.category() != boost::system::generic_category()) {
    return true;
  }
  for (const int lasting : {ENOENT, ENOTDIR, EISDIR, EEXIST, ENOTEMPTY, EXDEV, EINVAL, EROFS, EACCES, EPERM,
                            ENAMETOOLONG, ELOOP}) {
    if (failure.value() == lasting) return false;
  }
  return true;
}

std::uint64_t FileSystemOf(const boost::filesystem::path& folder) {
  struct stat info;
  if (::lstat(folder.c_str(), &info) != 0) {
    throw boost::filesystem::filesystem_error("cannot read a folder to remove", folder,
                                              boost::system::error_code(errno, boost::system::system_category()));
  }
  return static_cast<std::uint64_t>(info.st_dev);
}
