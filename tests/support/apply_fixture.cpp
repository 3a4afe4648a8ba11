#include "support/apply_fixture.hpp"

#include <cstdio>
#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#endif
#include <fstream>
#include <thread>

#include "support/installation.hpp"
#include "support/process.hpp"
#include "support/running.hpp"
#include "support/text.hpp"

namespace fs = std::filesystem;

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollPause(25);
}  // namespace

std::string LoaderJoined(const fs::path& base, const std::string& name) {
#ifdef _WIN32
  return PathToUtf8(base) + "\\" + name;
#else
  return PathToUtf8(base) + "/" + name;
#endif
}

void InstallMarkedLoader(const fs::path& directory, const std::string& mark) {
  InstallLoader(directory);
  std::ofstream(directory / "Velmora.exe", std::ios::binary | std::ios::app) << "\n" << mark << "\n";
}

std::size_t EndProcessesRunningBelow(const fs::path& directory, std::chrono::milliseconds limit) {
  if (WaitUntil([&] { return ProcessesRunningBelow(directory).empty(); }, limit)) return 0;
  const std::vector<std::uint32_t> left = ProcessesRunningBelow(directory);
  for (const std::uint32_t pid : left) EndProcess(pid);
  WaitUntil([&] { return ProcessesRunningBelow(directory).empty(); }, std::chrono::seconds(5));
  return left.size();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPollPause);
  }
}

std::vector<Record> RecordsTagged(const std::vector<Record>& records, const std::string& tag) {
  std::vector<Record> tagged;
  for (const Record& record : records) {
    if (record.tag == tag) tagged.push_back(record);
  }
  return tagged;
}

Started::~Started() {
  if (!waited_) WaitProgram(launched_, std::chrono::milliseconds(0));
}

Outcome Started::Wait(std::chrono::milliseconds limit) {
  waited_ = true;
  return WaitProgram(launched_, limit);
}

Scene::Scene(const std::string& name)
    : root(NewSandbox(name)), tree(root / "tree"), out(root / "out"), record(out / "record.txt") {
  fs::create_directories(tree);
  fs::create_directories(out);
  SetEnvironment("VELMORA_RECORD", PathToUtf8(record));
}

Scene::~Scene() {
  UnsetEnvironment("VELMORA_RECORD");
  UnsetEnvironment("VELMORA_SLEEP_MS");
  EndProcessesRunningBelow(root, std::chrono::seconds(10));
  const auto t0 = Clock::now();
  RemoveSandbox(root);
  if (fs::exists(root)) {
    fprintf(stderr, "DIAG sandbox left after %.3f s: %s\n", std::chrono::duration<double>(Clock::now() - t0).count(), PathToUtf8(root).c_str());
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory()) continue;
      std::error_code rm;
      fs::remove(it->path(), rm);
      fprintf(stderr, "DIAG   %s: %s\n", PathToUtf8(it->path()).c_str(), rm.message().c_str());
    }
    fprintf(stderr, "DIAG running below: %zu\n", ProcessesRunningBelow(root).size());
#ifdef _WIN32
    HANDLE sn = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W e{}; e.dwSize = sizeof e;
    for (BOOL m = Process32FirstW(sn, &e); m; m = Process32NextW(sn, &e)) {
      HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.th32ProcessID);
      std::wstring image(1024, L'\0'); DWORD len = 1024;
      if (h) { QueryFullProcessImageNameW(h, 0, image.data(), &len); image.resize(len); CloseHandle(h); } else image = L"?";
      fprintf(stderr, "DIAG proc %lu parent %lu %s\n", e.th32ProcessID, e.th32ParentProcessID, PathToUtf8(image).c_str());
    }
    CloseHandle(sn);
#endif
    WaitUntil([&] { RemoveSandbox(root); return !fs::exists(root); }, std::chrono::seconds(30));
    fprintf(stderr, "DIAG gone after %.3f s: %d\n", std::chrono::duration<double>(Clock::now() - t0).count(), !fs::exists(root));
  }
}

std::vector<Record> Scene::Records() const { return ReadRecords(record); }

fs::path Scene::CopyOfTree(const std::string& name) const {
  const fs::path copy = root / name;
  fs::copy(tree, copy, fs::copy_options::recursive);
  return copy;
}
