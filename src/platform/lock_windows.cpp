#include "platform/lock.hpp"

#include <windows.h>

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <cwchar>

#include "platform/file_ops.hpp"
#include "platform/final_path_windows.hpp"

namespace {
using Clock = std::chrono::steady_clock;
constexpr DWORD kPoll = 5;

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

std::optional<InstallationLock> LockMutex(const std::wstring& installDirectory,
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

// The lock file opened as itself: created where nothing stands at its name (a dangling link there
// fails the creation), opened where a file does, and given up where what was opened is a link or
// not the file at `expected` (Wine following a Unix link). It shares reading and writing, so that
// every run can open it to lock it, but not deletion, so that no second lock file can take its
// name while it is open.
HANDLE OpenLockFile(const std::wstring& lockFile, const std::wstring& expected, DWORD& failure) {
  for (const DWORD disposition : {OPEN_EXISTING, CREATE_NEW, OPEN_EXISTING}) {
    const HANDLE file = CreateFileW(VerbatimPath(lockFile).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    failure = GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
      if (!IsLink(file) && SamePath(FinalPathOfHandle(file, expected), expected)) return file;
      CloseHandle(file);
      failure = ERROR_CANT_ACCESS_FILE;
      return INVALID_HANDLE_VALUE;
    }
    // Missing: made next; made by another run meanwhile: opened next.
    if (failure != ERROR_FILE_NOT_FOUND && failure != ERROR_FILE_EXISTS) return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}
}  // namespace

// A file is what every session of the user, and a second program, can find: named objects live in
// a session's namespace unless global, and a global name could be taken first, with an access
// list of its own, by any user of the machine. The file is as private as the installation.
std::optional<InstallationLock> TakeInstallationLock(const NativeString& installDirectory, const NativeString& lockFile,
                                                     std::optional<std::chrono::milliseconds> patience) {
  PathKind data;
  const boost::filesystem::path lock(lockFile);
  if (KindOfPath(lock.parent_path(), data) || data != PathKind::kFolder) return LockMutex(installDirectory, patience);
  const std::wstring folder = SystemFinalPathOf(VerbatimPath(lock.parent_path().native()));
  if (folder.empty()) return LockMutex(installDirectory, patience);
  const std::wstring expected = Joined(folder, lock.filename().native());
  const Clock::time_point deadline = Clock::now() + patience.value_or(std::chrono::milliseconds(0));
  for (;;) {
    DWORD failure = 0;
    const HANDLE file = OpenLockFile(lockFile, expected, failure);
    if (file == INVALID_HANDLE_VALUE) {
      // Opened by a program that shares nothing: held, as far as this run can tell.
      if (failure != ERROR_SHARING_VIOLATION) return LockMutex(installDirectory, patience);
    } else {
      OVERLAPPED first{};
      const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (patience ? LOCKFILE_FAIL_IMMEDIATELY : 0);
      if (LockFileEx(file, flags, 0, 1, 0, &first)) {
        // Let go before the handle is closed: a lock left to the close is released when the
        // system gets to it, which may be later than the next run's try.
        return InstallationLock(file, [](HANDLE held) {
          OVERLAPPED locked{};
          UnlockFileEx(held, 0, 1, 0, &locked);
          CloseHandle(held);
        });
      }
      failure = GetLastError();
      CloseHandle(file);
      if (failure != ERROR_LOCK_VIOLATION) return InstallationLock();
    }
    if (patience && Clock::now() >= deadline) return std::nullopt;
    Sleep(kPoll);
  }
}
