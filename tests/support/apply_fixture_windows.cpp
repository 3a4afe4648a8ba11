#include "support/apply_fixture.hpp"

#include <windows.h>
#include <tlhelp32.h>

#include <string>

namespace fs = std::filesystem;

std::vector<std::uint32_t> ProcessesRunningBelow(const fs::path& directory) {
  std::vector<std::uint32_t> found;
  const std::wstring prefix = directory.wstring() + L"\\";
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    const bool named = QueryFullProcessImageNameW(process, 0, image.data(), &length) != 0;
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    // File names on Windows are compared without regard to case.
    if (named && alive && length > prefix.size() &&
        CompareStringOrdinal(image.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                             static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL) {
      found.push_back(entry.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
  return found;
}

// Wine starts its desktop process on first use, hands it the standard error of the program that
// needed it, and keeps it for the whole session. Started by a loader under test, it would hold that
// run's capture file open, and the sandbox could not be removed. Start it from here, handing it no
// standard error.
void StartDesktop() {
  const HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_ERROR_HANDLE, nullptr);
  GetDesktopWindow();
  SetStdHandle(STD_ERROR_HANDLE, errors);
}
