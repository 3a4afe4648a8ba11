#include "support/scene.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/text.hpp"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace fs = std::filesystem;

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

void CopyProgram(const fs::path& from, const fs::path& to) {
  // The Windows build's library cannot "create" a drive root that is already there.
  if (!fs::is_directory(to.parent_path())) fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

fs::path NewSandbox(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  std::mt19937 random(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
  const fs::path sandbox = fs::temp_directory_path() / "velmora-tests" /
                           Utf8ToPath(name + "-" + std::to_string(random() % 1000000) + "-" + std::to_string(++counter));
  fs::remove_all(sandbox);
  fs::create_directories(sandbox);
  return sandbox;
}

// On Windows a program that has just ended may still hold its file for a moment. Names Windows
// reads as devices are removed as they are: the library would open AUX, and wait on it.
void RemoveSandbox(const fs::path& root) {
  WaitUntil([&] { return RemoveTreeExactly(root); }, std::chrono::seconds(10));
}
}  // namespace

fs::path LoaderProgram() { return OwnExecutablePath().parent_path().parent_path() / "Velmora.exe"; }

fs::path RecorderProgram() {
  return OwnExecutablePath().parent_path() / ("recorder" + OwnExecutablePath().extension().string());
}

void InstallLoader(const fs::path& directory, const std::string& mark) {
  // A signed loader's mark must lie under its signature: made beforehand, signed, in this folder.
  if (const char* marked = std::getenv("VELMORA_MARKED_LOADERS"); marked != nullptr && !mark.empty()) {
    CopyProgram(Utf8ToPath(marked) / Utf8ToPath(mark + ".exe"), directory / "Velmora.exe");
    // A staging is signed whole, its release file too; a loader installed elsewhere has no manifest beside it.
    for (const char* manifest : {"SHA256SUMS", "SHA256SUMS.p7", "velmora.release"}) {
      const fs::path signedManifest = Utf8ToPath(marked) / Utf8ToPath(mark + "." + manifest);
      if (directory.filename() == "update" && fs::exists(signedManifest)) {
        const fs::path target = std::string(manifest) == "velmora.release" ? directory / "app" / manifest : directory / manifest;
        fs::create_directories(target.parent_path());
        fs::copy_file(signedManifest, target);
      }
    }
    return;
  }
  CopyProgram(LoaderProgram(), directory / "Velmora.exe");
  if (!mark.empty()) std::ofstream(directory / "Velmora.exe", std::ios::binary | std::ios::app) << "\n" << mark << "\n";
}

void InstallRecorderAs(const fs::path& file, const std::string& tag) {
  CopyProgram(RecorderProgram(), file);
  WriteText(file.parent_path() / "tag.txt", tag + "\n");
}

void InstallApplication(const fs::path& applicationDirectory, const std::string& tag) {
  InstallRecorderAs(applicationDirectory / "velmora.exe", tag);
}

fs::path InstallProbe(const fs::path& directory) {
  const fs::path probe = directory / ("probe" + OwnExecutablePath().extension().string());
  CopyProgram(OwnExecutablePath().parent_path() / ("platform_probe" + OwnExecutablePath().extension().string()), probe);
  return probe;
}

std::string LoaderJoined(const fs::path& base, const std::string& name) {
  return PathToUtf8(base) + static_cast<char>(fs::path::preferred_separator) + name;
}

std::vector<Record> ReadRecords(const fs::path& file) {
  std::vector<Record> records;
  std::ifstream stream(file, std::ios::binary);
  for (std::string line; std::getline(stream, line);) {
    const std::vector<std::string> fields = SplitFields(line);
    if (fields.size() < 5) continue;
    const auto arguments = fields.begin() + 4;
    const auto show = fields.end() - 1;
    records.push_back({fields[0], fields[1], fields[2], {arguments, show}, *show});
  }
  return records;
}

std::vector<Record> RecordsTagged(const std::vector<Record>& records, const std::string& tag) {
  std::vector<Record> tagged;
  std::copy_if(records.begin(), records.end(), std::back_inserter(tagged), [&](const Record& r) { return r.tag == tag; });
  return tagged;
}

std::vector<std::string> Snapshot(const fs::path& root) {
  std::vector<std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    const std::string relative = PathToUtf8(it->path().lexically_relative(root));
    const std::string name = PathToUtf8(it->path().filename());
    if ((name == "Velmora.log" || name == "Velmora.log.1" || name == "Velmora.lock") &&
        it->path().parent_path().filename() == "data") {
      continue;
    }
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

std::vector<std::string> LogTexts(const fs::path& install) {
  static const std::regex form("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z \\d+ ([^\\x00-\\x1F\\x7F]*)");
  std::vector<std::string> texts;
  std::istringstream lines(ReadText(install / "data" / "Velmora.log"));
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    texts.push_back(std::regex_match(line, match, form) ? match[1].str() : "MALFORMED: " + line);
  }
  return texts;
}

std::string LogMisses(const fs::path& install, const std::vector<std::string>& parts, bool anyCase) {
  const std::vector<std::string> texts = LogTexts(install);
  const auto folded = [anyCase](std::string text) {
    for (char& c : text) c = anyCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
  };
  auto line = texts.begin();
  for (const std::string& part : parts) {
    line = std::find_if(line, texts.end(),
                        [&](const std::string& text) { return folded(text).find(folded(part)) != std::string::npos; });
    if (line == texts.end()) {
      std::string log;
      for (const std::string& text : texts) log += "\n  " + text;
      return "no line with \"" + part + "\" in order in the log:" + log;
    }
  }
  return {};
}

std::string LogEscaped(const std::string& utf8) {
  std::string escaped;
  const char* hex = "0123456789ABCDEF";
  for (const unsigned char c : utf8) {
    escaped += c < 0x20 ? std::string("\\x") + hex[c >> 4] + hex[c & 15] : std::string(1, static_cast<char>(c));
  }
  return escaped;
}

std::string LogFirstLine(const std::string& mode, const fs::path& install) {
  return mode + " mode, loader " VELMORA_TEST_LOADER_VERSION ", install " + LogEscaped(PathToUtf8(install));
}

std::string LogUpdateInstalled() { return "update installed: loader " VELMORA_TEST_LOADER_VERSION; }

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
  PrepareDesktop();
  SetEnvironment("VELMORA_RECORD", PathToUtf8(record));
}

Scene::~Scene() {
  for (const char* name : {"VELMORA_RECORD", "VELMORA_SLEEP_MS", "VELMORA_EXIT_CODE"}) UnsetEnvironment(name);
  EndProcessesRunningBelow(root, std::chrono::seconds(10));
  RemoveSandbox(root);
}

Started Scene::Start(const fs::path& program, const std::vector<std::string>& arguments,
                     const fs::path& workingDirectory) const {
  return Started(StartProgram(program, arguments, workingDirectory.empty() ? out : workingDirectory, out));
}

std::vector<Record> Scene::Records() const { return ReadRecords(record); }

std::vector<Record> Scene::WaitForRecords(std::size_t count, std::chrono::milliseconds limit) const {
  std::vector<Record> records;
  WaitUntil([&] { return (records = Records()).size() >= count; }, limit);
  return records;
}

fs::path Scene::CopyOfTree(const std::string& name) const {
  const fs::path copy = root / name;
  fs::copy(tree, copy, fs::copy_options::recursive);
  return copy;
}

bool CanHoldLockAsAnotherUser() {
#ifdef _WIN32
  return false;
#else
  return ::geteuid() == 0;
#endif
}

LockHolder HoldInstallationLock(const Scene& scene, const fs::path& install, bool anotherUser) {
  const fs::path probe = InstallProbe(scene.root / "probe");
  // A folder the holder may write in, whoever it runs as.
  const fs::path folder = scene.out / "lock";
  fs::create_directories(folder);
  fs::permissions(folder, fs::perms::all);
  const fs::path release = folder / "held";
  const std::vector<std::string> words = {"lock", PathToUtf8(install), PathToUtf8(release)};
  std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups", "--", PathToUtf8(probe)};
  asNobody.insert(asNobody.end(), words.begin(), words.end());
  LockHolder holder{anotherUser ? scene.Start("/usr/bin/setpriv", asNobody) : scene.Start(probe, words), release};
  if (!WaitUntil([&] { return fs::exists(release); }, std::chrono::seconds(10))) {
    throw std::runtime_error("the lock holder did not start");
  }
  return holder;
}
