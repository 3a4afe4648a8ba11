#include "platform/lock.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {
// flock(2) has no time limit of its own: with one, try again every few milliseconds.
bool TakeLock(int directory, std::optional<std::chrono::milliseconds> patience) {
  const auto end = std::chrono::steady_clock::now() + patience.value_or(std::chrono::milliseconds(0));
  for (;;) {
    if (::flock(directory, patience ? LOCK_EX | LOCK_NB : LOCK_EX) == 0) return true;
    if (errno == EWOULDBLOCK && patience && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } else if (errno != EINTR) {
      return false;
    }
  }
}
}  // namespace

// A lock on the directory itself names the installation however its path is spelled, and every
// session of every user who can read the directory shares it: no lock file is needed.
std::optional<InstallationLock> TakeInstallationLock(const NativeString& installDirectory, const NativeString&,
                                                     std::optional<std::chrono::milliseconds> patience) {
  // Closed on exec, so no program started meanwhile holds it.
  const int directory = ::open(installDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return InstallationLock();
  if (!TakeLock(directory, patience)) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(directory);
    if (busy) return std::nullopt;
    return InstallationLock();
  }
  return InstallationLock(nullptr, [directory](void*) { ::close(directory); });
}
