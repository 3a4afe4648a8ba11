#include "support/apply_fixture.hpp"

#include <fstream>

#include "support/installation.hpp"
#include "support/process.hpp"
#include "support/running.hpp"
#include "support/text.hpp"

namespace fs = std::filesystem;

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
  StartDesktop();
  SetEnvironment("VELMORA_RECORD", PathToUtf8(record));
}

Scene::~Scene() {
  UnsetEnvironment("VELMORA_RECORD");
  UnsetEnvironment("VELMORA_SLEEP_MS");
  EndProcessesRunningBelow(root, std::chrono::seconds(10));
  RemoveSandbox(root);
}

std::vector<Record> Scene::Records() const { return ReadRecords(record); }

fs::path Scene::CopyOfTree(const std::string& name) const {
  const fs::path copy = root / name;
  fs::copy(tree, copy, fs::copy_options::recursive);
  return copy;
}
