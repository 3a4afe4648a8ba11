#include "updater/status.hpp"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <boost/json.hpp>

#include "launcher/layout.hpp"
#include "launcher/run_log.hpp"
#include "platform/log.hpp"
#include "platform/version_record.hpp"
#include "updater/exit_codes.hpp"
#include "updater/feed.hpp"
#include "updater/paths.hpp"
#include "updater/run.hpp"
#include "updater/settings.hpp"
#include "updater/state.hpp"

namespace fs = boost::filesystem;
namespace json = boost::json;

namespace {
constexpr char kVerdictMark[] = "; verdict ";
// What status reads may be replaced, renamed or removed meanwhile (on Windows: shared for
// deletion), so that it never makes a run of the updater or the loader fail, nor a folder above
// it stay: it only looks.
constexpr ReadSharing kLooking = ReadSharing::kReadersAndDeletion;

bool Digits(const std::string& text, std::size_t from, std::size_t count) {
  return text.size() >= from + count &&
         std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from),
                     text.begin() + static_cast<std::ptrdiff_t>(from + count), [](char c) { return c >= '0' && c <= '9'; });
}

// "YYYY-MM-DDTHH:MM:SS.mmmZ", as the log writes its time stamps.
bool TimeStamp(const std::string& text) {
  return text.size() == 24 && Digits(text, 0, 4) && text[4] == '-' && Digits(text, 5, 2) && text[7] == '-' &&
         Digits(text, 8, 2) && text[10] == 'T' && Digits(text, 11, 2) && text[13] == ':' && Digits(text, 14, 2) &&
         text[16] == ':' && Digits(text, 17, 2) && text[19] == '.' && Digits(text, 20, 3) && text[23] == 'Z';
}

// The verdict that ends one line of the log, "<time> <pid> <text>"; nullopt for any other line.
std::optional<LoaderVerdict> VerdictOfLine(const std::string& line) {
  const std::size_t blank = line.find(' ');
  const std::size_t second = blank == std::string::npos ? blank : line.find(' ', blank + 1);
  if (second == std::string::npos || !TimeStamp(line.substr(0, blank)) || !Digits(line, blank + 1, second - blank - 1) ||
      second == blank + 1) {
    return std::nullopt;
  }
  const std::size_t mark = line.rfind(kVerdictMark);
  if (mark == std::string::npos || mark < second) return std::nullopt;
  LoaderVerdict verdict;
  verdict.time = line.substr(0, blank);
  std::string rest = line.substr(mark + sizeof kVerdictMark - 1);
  const std::size_t comma = rest.find(',');
  verdict.verdict = rest.substr(0, comma);
  if (verdict.verdict != "taken" && verdict.verdict != "refused-integrity" && verdict.verdict != "refused-origin" &&
      verdict.verdict != "kept") {
    return std::nullopt;
  }
  rest = comma == std::string::npos ? std::string() : rest.substr(comma);
  while (!rest.empty()) {
    if (rest.rfind(", ", 0) != 0) return std::nullopt;
    const std::size_t end = std::min(rest.find(',', 2), rest.size());
    const std::string item = rest.substr(2, end - 2);
    rest = rest.substr(end);
    const std::size_t split = item.rfind(' ');
    if (split == std::string::npos || split == 0 || split + 1 == item.size()) return std::nullopt;
    const std::string key = item.substr(0, split);
    const std::string value = item.substr(split + 1);
    const bool keyFits = std::all_of(key.begin(), key.end(), [](char c) {
      return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ' ';
    });
    const bool valueFits = std::all_of(value.begin(), value.end(), [](char c) {
      return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '.';
    });
    if (!keyFits || !valueFits) return std::nullopt;
    verdict.known.emplace_back(key, value);
  }
  return verdict;
}

json::value Text(const std::optional<std::string>& text) { return text ? json::value(*text) : json::value(nullptr); }

std::optional<std::string> VersionOf(const fs::path& program) {
  std::optional<std::uint64_t> version;
  if (ProgramVersion(program.native(), version) || !version) return std::nullopt;
  return LogVersion(*version);
}

// Read as the loader's runs write it, so that neither keeps the other out.
std::optional<LoaderVerdict> VerdictInFile(const fs::path& file) {
  std::string text;
  if (ReadLog(file.native(), text)) return std::nullopt;
  return LastLoaderVerdict(text);
}

// The key a verdict's item goes by in JSON: "installed loader" is "installedLoader".
std::string JsonKey(const std::string& key) {
  if (key == "SHA256SUMS") return "manifest";
  std::string named;
  bool upper = false;
  for (const char c : key) {
    if (c == ' ') {
      upper = true;
      continue;
    }
    named.push_back(upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    upper = false;
  }
  return named;
}

void Gather(const fs::path& install, StatusReport& report) {
  const fs::path data = DataDirectory(install);
  const fs::path staging = StagingDirectory(install);
  std::optional<UpdaterState> state;
  std::optional<std::string> stateText;
  if (!ReadIfThere(StateFile(data), stateText, kLooking) && stateText) state = ParseState(*stateText);
  json::object& object = report.object;
  std::string& text = report.text;
  object["install"] = LogText(install);

  // A release the updater staged that data/update no longer holds went in where the installed
  // programs are its own, as the next check would find.
  const std::string stagedRelease = StagedReleaseOf(staging, kLooking);
  std::optional<KnownRelease> installed = state ? state->installed : std::nullopt;
  if (state && state->staged && state->staged->release != stagedRelease && InstalledNow(install, *state->staged, kLooking)) {
    installed = state->staged;
  }
  const std::optional<std::string> loaderVersion = VersionOf(InstalledLoader(install));
  const std::optional<std::string> applicationVersion = VersionOf(MainApplication(install));
  object["installed"] = {{"loaderVersion", Text(loaderVersion)},
                         {"applicationVersion", Text(applicationVersion)},
                         {"release", installed ? json::value(installed->release) : json::value(nullptr)},
                         {"version", installed ? json::value(installed->version) : json::value(nullptr)}};
  text += "installed: loader " + loaderVersion.value_or("(no version record)") + ", application " +
          applicationVersion.value_or("(no version record)") +
          (installed ? ", release " + installed->release + " version " + installed->version : std::string()) + "\n";

  boost::system::error_code error;
  if (fs::is_directory(fs::symlink_status(staging, error))) {
    std::optional<std::string> version;
    if (state && state->staged && !stagedRelease.empty() && state->staged->release == stagedRelease) {
      version = state->staged->version;
    }
    object["staged"] = {{"release", stagedRelease.empty() ? json::value(nullptr) : json::value(stagedRelease)},
                        {"version", Text(version)}};
    text += "staged: " + (stagedRelease.empty() ? std::string("an update without a manifest") : "release " + stagedRelease) +
            (version ? " version " + *version : std::string()) + "\n";
  } else {
    object["staged"] = nullptr;
    text += "staged: nothing\n";
  }

  if (state && state->lastRun) {
    const LastRun& last = *state->lastRun;
    object["lastCheck"] = {{"time", UtcTimeText(last.time)}, {"command", last.command},   {"outcome", last.outcome},
                           {"exitCode", last.exitCode},      {"message", last.message},   {"channel", last.channel},
                           {"release", last.release.empty() ? json::value(nullptr) : json::value(last.release)},
                           {"version", last.version.empty() ? json::value(nullptr) : json::value(last.version)}};
    text += "last check: " + UtcTimeText(last.time) + " " + last.command + ": " + last.outcome + ": " + last.message + "\n";
  } else {
    object["lastCheck"] = nullptr;
    text += "last check: none recorded\n";
  }

  const fs::path log = LogFile(install);
  const std::optional<LoaderVerdict> verdict =
      LaterVerdict(VerdictInFile(log), VerdictInFile(fs::path(PreviousLogGeneration(log.native()))));
  if (verdict) {
    json::object start{{"time", verdict->time}, {"verdict", verdict->verdict}};
    text += "last start: " + verdict->time + " verdict " + verdict->verdict;
    for (const auto& [key, value] : verdict->known) {
      start[JsonKey(key)] = value;
      text += ", " + key + " " + value;
    }
    object["lastStart"] = std::move(start);
    text += "\n";
  } else {
    object["lastStart"] = nullptr;
    text += "last start: no staging checked in " + LogText(log) + "\n";
  }

  json::object settings;
  try {
    const AdministratorSettings read = ReadAdministratorSettings(data, kLooking);
    for (const auto& [key, setting] : {std::pair{"feed", &read.feed}, std::pair{"channel", &read.channel},
                                       std::pair{"checks", &read.checks}}) {
      if (!*setting) continue;
      settings[key] = {{"value", (*setting)->value}, {"from", (*setting)->from}};
      text += std::string("setting: ") + key + " " + (*setting)->value + " from " + (*setting)->from + "\n";
    }
  } catch (const Stop& refused) {
    object["settingsRefused"] = refused.message;
    text += refused.message + "\n";
  }
  object["settings"] = std::move(settings);
}
}  // namespace

std::optional<LoaderVerdict> LastLoaderVerdict(const std::string& log) {
  // Whole lines only: a last one without its line feed was cut off while it was written.
  std::size_t end = log.rfind('\n');
  while (end != std::string::npos) {
    const std::size_t start = end == 0 ? std::string::npos : log.rfind('\n', end - 1);
    const std::size_t from = start == std::string::npos ? 0 : start + 1;
    if (std::optional<LoaderVerdict> verdict = VerdictOfLine(log.substr(from, end - from))) return verdict;
    end = start;
  }
  return std::nullopt;
}

std::optional<LoaderVerdict> LaterVerdict(const std::optional<LoaderVerdict>& current,
                                          const std::optional<LoaderVerdict>& previous) {
  if (!current) return previous;
  if (!previous) return current;
  return previous->time > current->time ? previous : current;
}

StatusReport RunStatus(const UpdaterOptions& options) {
  StatusReport report;
  report.object = {{"command", "status"}};
  try {
    const fs::path install = FindInstallation(options);
    Gather(install, report);
    report.object["outcome"] = "done";
    report.object["exitCode"] = kUpdateDone;
    report.object["message"] = "status of " + LogText(install);
    report.text = "velmora-update: status of " + LogText(install) + "\n" + report.text;
  } catch (const Stop& stop) {
    report.exitCode = stop.exitCode;
    report.object["outcome"] = stop.outcome;
    report.object["exitCode"] = stop.exitCode;
    report.object["message"] = stop.message;
    report.text = "velmora-update: " + std::string(stop.outcome) + ": " + stop.message + "\n";
  } catch (const std::exception& unexpected) {
    report.exitCode = kUpdateInternalError;
    report.object["outcome"] = "internal error";
    report.object["exitCode"] = kUpdateInternalError;
    report.object["message"] = std::string("unexpected error: ") + unexpected.what();
    report.text = "velmora-update: internal error: " + std::string(unexpected.what()) + "\n";
  }
  return report;
}
