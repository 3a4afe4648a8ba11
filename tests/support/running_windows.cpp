#include "support/running.hpp"

#include <windows.h>
#include <tlhelp32.h>

#include <string>

std::vector<LiveProcess> LiveProcesses() {
  std::vector<LiveProcess> found;
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
    image.resize(named ? length : 0);
    if (alive) found.push_back({entry.th32ProcessID, entry.th32ParentProcessID, image});
  }
  CloseHandle(snapshot);
  return found;
}

// File names on Windows are compared without regard to case.
std::vector<std::uint32_t> ProcessesRunning(const std::filesystem::path& program) {
  return ProcessesWhose([&](const std::filesystem::path& image) { return lstrcmpiW(image.c_str(), program.c_str()) == 0; });
}

std::vector<std::uint32_t> ProcessesNamed(const std::string& fileName) {
  const std::wstring wanted = std::filesystem::path(std::u8string(fileName.begin(), fileName.end())).wstring();
  return ProcessesWhose(
      [&](const std::filesystem::path& image) { return lstrcmpiW(image.filename().c_str(), wanted.c_str()) == 0; });
}

void EndProcess(std::uint32_t pid) {
  const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return;
  TerminateProcess(process, 1);
  WaitForSingleObject(process, 5000);
  CloseHandle(process);
}
