#include "platform/log.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_ops.hpp"

namespace {
// Non-blocking: a FIFO planted at the name would otherwise hold the run until a reader comes.
// A file without a name any more was replaced by two rotations of other runs since it was opened:
// the name is opened once more.
int OpenPlainFile(const std::string& file, struct stat& info) {
  for (int opening = 0; opening < 2; ++opening) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                          0644);
    if (fd < 0) return -1;
    const bool known = ::fstat(fd, &info) == 0;
    if (known && S_ISREG(info.st_mode) && info.st_nlink == 1) return fd;
    ::close(fd);
    if (!known || info.st_nlink != 0) break;
  }
  return -1;
}

// The lock of the file to rotate, waited for a little: a run that was descheduled holding it
// would otherwise see the others write on past the bound and their lines dropped; never for
// long, for a program that keeps it must not hold up a start.
bool LockForRotation(int fd) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    ::usleep(2000);
  }
  return false;
}

// Only the run holding the lock of the file it opened rotates, and only while the name still
// names that file: another run may have moved it aside already.
void Rotate(const std::string& file, int fd, const struct stat& opened) {
  if (!LockForRotation(fd)) return;
  struct stat named;
  if (::lstat(file.c_str(), &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
    const std::string previous = PreviousLogGeneration(file);
    if (::rename(file.c_str(), previous.c_str()) == 0 &&
        static_cast<std::uint64_t>(opened.st_size) > kLogKeepAtMost) {
      ::unlink(previous.c_str());
    }
  }
  ::flock(fd, LOCK_UN);
}
}  // namespace

bool AppendLogLine(const NativeString& file, const std::string& line, bool firstOfRun) {
  struct stat info;
  int fd = OpenPlainFile(file, info);
  if (fd < 0) return false;
  if (firstOfRun) {
    const std::string previous = PreviousLogGeneration(file);
    struct stat old;
    if (::lstat(previous.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
        static_cast<std::uint64_t>(old.st_size) > kLogKeepAtMost) {
      ::unlink(previous.c_str());
    }
  }
  if (static_cast<std::uint64_t>(info.st_size) >= kLogRotateAt) {
    Rotate(file, fd, info);
    ::close(fd);
    fd = OpenPlainFile(file, info);
    if (fd < 0) return false;
  }
  bool written = false;
  if (static_cast<std::uint64_t>(info.st_size) < kLogKeepAtMost) {
    const ssize_t count = ::write(fd, line.data(), line.size());
    written = count == static_cast<ssize_t>(line.size());
  }
  ::close(fd);
  return written;
}

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

// A reader keeps no writer out here: the file's own reading serves.
boost::system::error_code ReadLog(const NativeString& file, std::string& bytes) {
  return ReadWholeFile(file, 2 * kLogKeepAtMost, bytes);
}
