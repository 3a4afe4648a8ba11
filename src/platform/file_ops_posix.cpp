#include "platform/file_ops.hpp"

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

// The kernel lists every mount point of this process's view in /proc/self/mountinfo, whatever
// the folders on the way may be read by: the fifth field of a line, with blanks, tabs, line feeds
// and backslashes written as octal escapes.
void RequireOneFileSystem(const boost::filesystem::path& root) {
  const boost::filesystem::path folder = boost::filesystem::canonical(root);
  std::ifstream mounts("/proc/self/mountinfo");
  if (!mounts) {
    throw boost::filesystem::filesystem_error("cannot read the mount points", root,
                                              boost::system::error_code(errno, boost::system::system_category()));
  }
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
      throw boost::filesystem::filesystem_error("a file system is mounted below a folder to remove", mountPoint,
                                                make_error_code(boost::system::errc::cross_device_link));
    }
  }
}

int CompareFileNames(const NativeString& first, const NativeString& second) { return first.compare(second); }

boost::system::error_code ReadWholeFile(const NativeString& file, std::uintmax_t limit, std::string& bytes) {
  using boost::system::errc::make_error_code;
  bytes.clear();
  const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (descriptor < 0 && errno == ENOENT) return make_error_code(boost::system::errc::no_such_file_or_directory);
  if (descriptor < 0 && errno == ELOOP) return make_error_code(boost::system::errc::invalid_argument);
  if (descriptor < 0) return {errno, boost::system::system_category()};
  struct stat status;
  if (fstat(descriptor, &status) != 0) {
    const int failure = errno;
    close(descriptor);
    return {failure, boost::system::system_category()};
  }
  if (!S_ISREG(status.st_mode) || static_cast<std::uintmax_t>(status.st_size) > limit) {
    close(descriptor);
    return make_error_code(boost::system::errc::invalid_argument);
  }
  int failure = 0;
  char buffer[1 << 14];
  for (;;) {
    const ssize_t count = read(descriptor, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) failure = errno;
    if (count <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
  close(descriptor);
  return {failure, boost::system::system_category()};
}
