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
