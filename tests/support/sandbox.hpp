#pragma once
// Fresh folders for tests, the programs under test, and what the recorder helper wrote.

#include <filesystem>
#include <string>
#include <vector>

// The loader under test and the recording helper, found beside the test program.
std::filesystem::path LoaderProgram();
std::filesystem::path RecorderProgram();

// A new, empty folder below the system's temporary folder; `name` may hold any characters.
std::filesystem::path NewSandbox(const std::string& name);

void WriteText(const std::filesystem::path& file, const std::string& text);
std::string ReadText(const std::filesystem::path& file);

// One run of the recorder helper.
struct Record {
  std::string tag;
  std::string program;
  std::string workingDirectory;
  std::vector<std::string> arguments;
};
std::vector<Record> ReadRecords(const std::filesystem::path& file);

// Every entry below `root`, one line each: kind, relative path and, for files, size and content
// hash. Two equal snapshots mean nothing below `root` changed.
std::vector<std::string> Snapshot(const std::filesystem::path& root);
