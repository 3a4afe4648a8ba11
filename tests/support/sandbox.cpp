#include "support/sandbox.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "support/text.hpp"

namespace {
std::string Unescape(const std::string& text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      plain += text[i];
      continue;
    }
    const char next = text[++i];
    plain += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return plain;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(Unescape(line.substr(start, tab - start)));
  }
  fields.push_back(Unescape(line.substr(start)));
  return fields;
}

std::uint64_t ContentHash(const std::string& bytes) {
  std::uint64_t hash = 1469598103934665603ull;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}
}  // namespace

std::filesystem::path LoaderProgram() { return OwnExecutablePath().parent_path().parent_path() / "Velmora.exe"; }

std::filesystem::path RecorderProgram() {
  return OwnExecutablePath().parent_path() / ("recorder" + OwnExecutablePath().extension().string());
}

std::filesystem::path NewSandbox(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  std::mt19937 random(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const std::filesystem::path root = std::filesystem::temp_directory_path() / "velmora-tests";
  std::filesystem::create_directories(root);
  const std::filesystem::path sandbox =
      root / Utf8ToPath(name + "-" + std::to_string(random() % 1000000) + "-" + std::to_string(++counter));
  std::filesystem::remove_all(sandbox);
  std::filesystem::create_directories(sandbox);
  return sandbox;
}

void WriteText(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

std::string ReadText(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

std::vector<Record> ReadRecords(const std::filesystem::path& file) {
  std::vector<Record> records;
  std::ifstream stream(file, std::ios::binary);
  for (std::string line; std::getline(stream, line);) {
    const std::vector<std::string> fields = SplitFields(line);
    if (fields.size() < 4) continue;
    Record record{fields[0], fields[1], fields[2], {}};
    record.arguments.assign(fields.begin() + 4, fields.end());
    records.push_back(record);
  }
  return records;
}

std::vector<std::string> Snapshot(const std::filesystem::path& root) {
  std::vector<std::string> entries;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const std::string relative = PathToUtf8(it->path().lexically_relative(root));
    if (it->is_directory()) {
      entries.push_back("d " + relative);
    } else {
      const std::string bytes = ReadText(it->path());
      entries.push_back("f " + relative + " " + std::to_string(bytes.size()) + " " + std::to_string(ContentHash(bytes)));
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}
