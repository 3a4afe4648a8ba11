#include "launcher/installation_lock.hpp"

#include "launcher/layout.hpp"

std::optional<InstallationLock> LockInstallation(const NativeString& installDirectory,
                                                 std::optional<std::chrono::milliseconds> patience) {
  return TakeInstallationLock(installDirectory, LockFile(boost::filesystem::path(installDirectory)).native(), patience);
}
