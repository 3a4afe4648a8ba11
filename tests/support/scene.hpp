#pragma once
// Scenes: a fresh sandbox per test with real installations in it, the programs under test
// started from there, what the recorder helper wrote, and snapshots of what is on disk.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/process.hpp"

// The loader under test and the recording helper, found beside the test program.
std::filesystem::path LoaderProgram();
std::filesystem::path RecorderProgram();

// Copies the loader under test to `directory`/Velmora.exe (the directory is created), with
// `mark` appended when given: it runs as before, but its bytes tell it from the loader under test.
// With VELMORA_MARKED_LOADERS set, a marked loader is that folder's "<mark>.exe" instead, with
// "<mark>.SHA256SUMS" and "<mark>.SHA256SUMS.p7" beside it in a staging directory ("update") as the
// signed manifest of it and an application "app v2", and "<mark>.velmora.release" as its
// app/velmora.release, where the folder has them.
void InstallLoader(const std::filesystem::path& directory, const std::string& mark = "");

// Copies the recorder to `file` with a "tag.txt" beside it naming what it stands for, such as
// "app v1" (the directory is created).
void InstallRecorderAs(const std::filesystem::path& file, const std::string& tag);

// An application directory: the recorder as "velmora.exe", tagged `tag`.
void InstallApplication(const std::filesystem::path& applicationDirectory, const std::string& tag);

// The probe of the platform services, copied to `directory`; returns its path.
std::filesystem::path InstallProbe(const std::filesystem::path& directory);

// `base` and `name` joined by the loader's separator, exactly as the loader writes them in its
// messages: the text of `base` unchanged, whatever it ends with.
std::string LoaderJoined(const std::filesystem::path& base, const std::string& name);

// One run of the recorder helper.
struct Record {
  std::string tag;
  std::string program;
  std::string workingDirectory;
  std::vector<std::string> arguments;
  std::string show;  // the show command asked for on Windows: a number, or "default"; "-" elsewhere
};
std::vector<Record> ReadRecords(const std::filesystem::path& file);
std::vector<Record> RecordsTagged(const std::vector<Record>& records, const std::string& tag);

// Every entry below `root`, one line each: kind, relative path and, for files, size and content
// hash. Two equal snapshots mean nothing below `root` changed. The loader's log files and its lock
// file in a "data" folder are left out: the tests that look at the log read it.
std::vector<std::string> Snapshot(const std::filesystem::path& root);

// The texts of the loader's log in `install` without their time stamp and process id; a line not
// of the log's form comes back as "MALFORMED: " and the line.
std::vector<std::string> LogTexts(const std::filesystem::path& install);
// Empty when the log holds, in this order, a line containing each of `parts` (one line may hold
// several in turn); otherwise the first part missing and the whole log. With `anyCase`, ASCII
// letters compare as Windows compares names.
std::string LogMisses(const std::filesystem::path& install, const std::vector<std::string>& parts,
                      bool anyCase = false);
// UTF-8 text as the log writes it: control characters as "\xHH".
std::string LogEscaped(const std::string& utf8);
// The first line a run of this loader writes, without its ending.
std::string LogFirstLine(const std::string& mode, const std::filesystem::path& install);
// What the line of an installed update says of it, with the loader's version: "update installed:
// loader 1.0.0".
std::string LogUpdateInstalled();

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
  Outcome Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));

 private:
  Launched launched_;
  bool waited_ = false;
};

class Scene;

// A program holding the lock of an installation until `release`, a file it made, is removed.
struct LockHolder {
  Started process;
  std::filesystem::path release;
};

// True where a holder can run as another user: natively, as root.
bool CanHoldLockAsAnotherUser();

// Starts the platform probe on the lock of the installation in `install` and waits until it holds
// it. With `anotherUser` it runs as nobody, who may read the installation and so lock it.
LockHolder HoldInstallationLock(const Scene& scene, const std::filesystem::path& install, bool anotherUser = false);

// One test's sandbox: `tree` for what the loader may change (snapshot it to see what did), `out`
// for the record file and captured output and as the working directory of what the test starts,
// and VELMORA_RECORD naming the record file for every program started meanwhile. On destruction,
// programs still running from the sandbox are ended and the sandbox is removed.
class Scene {
 public:
  explicit Scene(const std::string& name);
  ~Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  // Starts `program` in `workingDirectory`, by default `out` and never its own folder, capturing
  // its output in `out`.
  Started Start(const std::filesystem::path& program, const std::vector<std::string>& arguments = {},
                const std::filesystem::path& workingDirectory = {}) const;
  std::vector<Record> Records() const;
  // Polls until the record file holds at least `count` records or `limit` has passed.
  std::vector<Record> WaitForRecords(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  // A copy of `tree` below the sandbox, to be edited into what `tree` should become.
  std::filesystem::path CopyOfTree(const std::string& name) const;

  const std::filesystem::path root;
  const std::filesystem::path tree;
  const std::filesystem::path out;
  const std::filesystem::path record;
};
