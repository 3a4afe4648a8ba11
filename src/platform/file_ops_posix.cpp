#include "platform/file_ops.hpp"
#include "platform/held_folder_posix.hpp"

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <locale.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
bool IsDirectory(const boost::filesystem::path& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

error_code LastError() { return {errno, boost::system::system_category()}; }

}  // namespace

// A plain rename(2) replaces an empty target directory; a move on Windows never replaces a
// directory, so a leftover empty directory must make the move fail here too.
boost::system::error_code RenamePath(const boost::filesystem::path& from, const boost::filesystem::path& to,
                                     Replacing) {
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

int CompareFileNames(const NativeString& first, const NativeString& second) { return first.compare(second); }

namespace {
// The characters of well-formed UTF-8 `text`, each of the Basic Multilingual Plane upper-cased
// by the C library's Unicode table (C.UTF-8, whatever the process's own locale); nullopt for text
// that is not UTF-8.
std::optional<std::u32string> UpperCased(const std::string& text) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  std::u32string upper;
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const int length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3 : (byte >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + static_cast<std::size_t>(length) > text.size()) return std::nullopt;
    char32_t c = length == 1 ? byte : byte & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(text[at + static_cast<std::size_t>(i)]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (next & 0x3F);
    }
    at += static_cast<std::size_t>(length);
    if (c <= 0xFFFF && unicode != static_cast<locale_t>(nullptr)) c = static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), unicode));
    upper.push_back(c);
  }
  return upper;
}
}  // namespace

int CompareFileNamesAsWindows(const NativeString& first, const NativeString& second) {
  const std::optional<std::u32string> a = UpperCased(first), b = UpperCased(second);
  return a && b ? a->compare(*b) : first.compare(second);
}

boost::system::error_code ReadWholeFile(const NativeString& file, std::uintmax_t limit, std::string& bytes,
                                        ReadSharing) {
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

error_code KindOfPath(const fs::path& path, PathKind& kind) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    // A file where a folder on the way should be: nothing stands at the path either.
    if (errno != ENOENT && errno != ENOTDIR) return LastError();
    kind = PathKind::kAbsent;
    return {};
  }
  kind = S_ISLNK(info.st_mode) ? PathKind::kLink : S_ISDIR(info.st_mode) ? PathKind::kFolder : PathKind::kOther;
  return {};
}

error_code HoldFolder(const fs::path& folder, HeldFolder& held, PathKind& kind) {
  held.reset();
  if (const error_code error = KindOfPath(folder, kind); error || kind != PathKind::kFolder) return error;
  // Without following a link that has taken the folder's place since it was looked at.
  const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) {
    const int failure = errno;
    kind = failure == ELOOP ? PathKind::kLink : failure == ENOENT ? PathKind::kAbsent : PathKind::kOther;
    return failure == ELOOP || failure == ENOENT || failure == ENOTDIR ? error_code() : LastError();
  }
  struct stat info;
  if (::fstat(descriptor, &info) != 0) {
    const error_code error = LastError();
    ::close(descriptor);
    return error;
  }
  held = HeldFolder(new HeldDirectory{descriptor, info.st_dev, info.st_ino}, [](void* directory) {
    ::close(static_cast<HeldDirectory*>(directory)->descriptor);
    delete static_cast<HeldDirectory*>(directory);
  });
  return {};
}

// The descriptor keeps the inode from being reused: an equal one is the held folder.
bool NamesHeldFolder(const HeldFolder& held, const fs::path& folder) {
  struct stat info;
  return held && ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_dev == HeldOf(held)->device &&
         info.st_ino == HeldOf(held)->inode;
}
