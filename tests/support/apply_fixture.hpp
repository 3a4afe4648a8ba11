#pragma once
// Sandboxes for scenarios in which the loader starts programs on its own (apply mode and the
// whole update cycle): a tree the loader works on, a place for records and captured output, the
// texts the loader builds from paths, and waiting for the programs it left running.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/process.hpp"
#include "support/running.hpp"
#include "support/sandbox.hpp"

// `base` and `name` joined by the loader's separator, exactly as the loader writes them in its
// messages: the text of `base` unchanged, whatever it ends with.
std::string LoaderJoined(const std::filesystem::path& base, const std::string& name);

// Copies the loader under test to `directory`/Velmora.exe (the directory is created) with `mark`
// appended: it runs as before, but its bytes tell this copy from the loader under test.
void InstallMarkedLoader(const std::filesystem::path& directory, const std::string& mark);

// The ids of the live processes whose executable lies anywhere below `directory`.
std::vector<std::uint32_t> ProcessesRunningBelow(const std::filesystem::path& directory);

// Waits up to `limit` for every process running from below `directory` to end, then ends those
// still running. Returns how many had to be ended.
std::size_t EndProcessesRunningBelow(const std::filesystem::path& directory, std::chrono::milliseconds limit);

// Makes sure the session's desktop runs before any program under test shows a window (see the
// Windows implementation); does nothing elsewhere.
void StartDesktop();

// The records tagged `tag`.
std::vector<Record> RecordsTagged(const std::vector<Record>& records, const std::string& tag);

// A started program that is waited for on every path, and ended if the test has not waited for
// it: on Windows a Launched never waited for would be destroyed with its box watcher running.
class Started {
 public:
  explicit Started(Launched launched) : launched_(std::move(launched)) {}
  Started(Started&& other) noexcept : launched_(std::move(other.launched_)), waited_(other.waited_) {
    other.waited_ = true;
  }
  ~Started();
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;
  Started& operator=(Started&&) = delete;

  std::uint32_t Pid() const { return launched_.pid; }
  // Waits up to `limit` for the program to end, then ends it; once only.
  Outcome Wait(std::chrono::milliseconds limit);

 private:
  Launched launched_;
  bool waited_ = false;
};

// One scenario's sandbox: `tree` for what the loader may change (snapshot it to see what did),
// `out` for the record file and captured output, and VELMORA_RECORD naming that record file for
// every program started meanwhile. On destruction, programs still running from the sandbox are
// ended and the sandbox is removed.
class Scene {
 public:
  explicit Scene(const std::string& name);
  ~Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  std::vector<Record> Records() const;
  // A copy of `tree` below the sandbox, to be edited into what `tree` should become.
  std::filesystem::path CopyOfTree(const std::string& name) const;

  const std::filesystem::path root;
  const std::filesystem::path tree;
  const std::filesystem::path out;
  const std::filesystem::path record;
};
