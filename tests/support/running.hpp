#pragma once
// Programs that run on their own after a test started them indirectly (through the loader or the
// shell): finding them, waiting for what they leave behind, ending them, and removing a sandbox
// they may have held.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/sandbox.hpp"

// A live process: its id, the id of the process that started it, and its executable as the
// system names it (canonical on Linux, the full image name on Windows; empty when unreadable).
struct LiveProcess {
  std::uint32_t pid = 0;
  std::uint32_t parent = 0;
  std::filesystem::path executable;
};

// Every live process the test can see; one implementation per platform.
std::vector<LiveProcess> LiveProcesses();

// The ids of the live processes whose executable passes `wanted`.
std::vector<std::uint32_t> ProcessesWhose(const std::function<bool(const std::filesystem::path&)>& wanted);

// The ids of the live processes whose executable is `program`.
std::vector<std::uint32_t> ProcessesRunning(const std::filesystem::path& program);

// The ids of the live processes whose executable file has this name, wherever it lies.
std::vector<std::uint32_t> ProcessesNamed(const std::string& fileName);

// The ids of the live processes that the process with id `parent` started (it may have ended since).
std::vector<std::uint32_t> ProcessesStartedBy(std::uint32_t parent);

// Ends the process with this id, if it still runs.
void EndProcess(std::uint32_t pid);

// Polls `condition` until it holds or `limit` has passed; returns its last value.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// Polls `file` until it holds at least `count` records or `limit` has passed; returns what it holds.
std::vector<Record> WaitForRecords(const std::filesystem::path& file, std::size_t count,
                                   std::chrono::milliseconds limit = std::chrono::seconds(10));

// Polls until no process runs `program`; false if one still does after `limit`.
bool WaitUntilNotRunning(const std::filesystem::path& program,
                         std::chrono::milliseconds limit = std::chrono::seconds(10));

// Removes `root` and everything below it, retrying for a while: on Windows a program that has
// just ended may still hold its file for a moment.
void RemoveSandbox(const std::filesystem::path& root);
