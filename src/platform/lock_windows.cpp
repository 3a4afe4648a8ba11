#include "platform/lock.hpp"

#include <windows.h>

#include <cstdint>
#include <cwchar>

#include "platform/final_path_windows.hpp"

namespace {
// A mutex name holds no backslash after its namespace and is at most MAX_PATH long: the path as
// the system resolves it, so that every spelling of one installation gives one lock, upper-cased
// as file names compare, goes in as a hash. The text as given where it cannot be opened.
std::wstring LockName(const std::wstring& directory) {
  std::wstring path = SystemFinalPathOf(directory);
  if (path.empty()) path = directory;
  std::wstring upper(path.size(), L'\0');
  LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, path.data(), static_cast<int>(path.size()), upper.data(),
               static_cast<int>(upper.size()));
  std::uint64_t hash = 1469598103934665603ull;
  for (const wchar_t c : upper) hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ull;
  wchar_t name[64];
  std::swprintf(name, 64, L"Local\\Velmora loader %016llx", static_cast<unsigned long long>(hash));
  return name;
}
}  // namespace

std::optional<InstallationLock> LockInstallation(const NativeString& installDirectory,
                                                 std::optional<std::chrono::milliseconds> patience) {
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, LockName(installDirectory).c_str());
  if (mutex == nullptr) return InstallationLock();
  const DWORD waited = WaitForSingleObject(mutex, patience ? static_cast<DWORD>(patience->count()) : INFINITE);
  // An abandoned mutex is ours as well: its holder ended without letting go.
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    if (waited == WAIT_TIMEOUT) return std::nullopt;
    return InstallationLock();
  }
  return InstallationLock(mutex, [](HANDLE held) {
    ReleaseMutex(held);
    CloseHandle(held);
  });
}
