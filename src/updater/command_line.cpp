#include "updater/command_line.hpp"

#include <boost/json.hpp>
#include <boost/program_options.hpp>
#include <algorithm>
#include <chrono>
#include <type_traits>

#include "launcher/run_log.hpp"
#include "platform/terminal.hpp"
#include "updater/exit_codes.hpp"
#include "updater/feed.hpp"
#include "updater/progress.hpp"
#include "updater/settings.hpp"
#include "updater/status.hpp"
#include "updater/update.hpp"

namespace po = boost::program_options;

namespace {
const char kUsage[] =
    "usage: velmora-update check|stage|status|apply [options]\n"
    "  check                 is a release to stage on the feed: its version, notes and bytes to fetch\n"
    "  stage [--from DIR] [--progress]\n"
    "                        check, fetch what is missing, verify and stage it for the loader;\n"
    "                        --progress shows the bytes fetched as they come\n"
    "  status                what is installed and staged, the last check, the loader's last verdict\n"
    "  apply --pid N         restart into the staged update: check it, start the staged loader, which\n"
    "                        waits for process N to end and applies it; exits at once\n"
    "options:\n"
    "  --install DIR         the installation (default: the folder above this program's own)\n"
    "  --feed URL            the tree's base URL; the feed is URL/CHANNEL.feed2\n"
    "  --from DIR            stage from a copy of the tree in a folder, not the server\n"
    "  --channel NAME        the channel (default: stable)\n"
    "  --json                write one JSON object to standard output\n"
    "  --stall-timeout S     a transfer without a byte for S seconds fails (default: 30)\n"
#ifndef _WIN32
    "  --cafile FILE         the roots the feed's signer must chain to (PEM)\n"
    "  --publisher NAME      the name the feed's signer must carry\n"
#endif
    "exit codes: 0 done or nothing to do, 2 command line, 3 no installation, 4 internal error,\n"
    "  5 data folder, 6 settings refused, 10 network, 11 feed refused, 12 feed or staging cannot be\n"
    "  checked now, 13 release or staging refused, 14 disk full, 15 busy, 16 nothing staged,\n"
    "  17 cannot restart\n";

// Wide text must be read by a wide value: a narrow one would hold UTF-8.
template <class Char = NativeChar>
po::typed_value<std::basic_string<Char>, Char>* NativeValue() {
  if constexpr (std::is_same_v<Char, wchar_t>) {
    return po::wvalue<std::basic_string<Char>>();
  } else {
    return po::value<std::basic_string<Char>>();
  }
}

template <class Char = NativeChar>
po::typed_value<std::vector<std::basic_string<Char>>, Char>* NativeValues(std::vector<std::basic_string<Char>>* kept) {
  if constexpr (std::is_same_v<Char, wchar_t>) {
    return po::wvalue<std::vector<std::basic_string<Char>>>(kept);
  } else {
    return po::value<std::vector<std::basic_string<Char>>>(kept);
  }
}

void Print(const std::string& command, const UpdaterOptions& options, const UpdateReport& report, bool json) {
  if (json) {
    boost::json::object object{
        {"command", command}, {"outcome", report.outcome}, {"exitCode", report.exitCode}, {"message", report.message}};
    // What a run against the tree tells; apply asks no server.
    if (command != "apply") {
      object["channel"] = report.channel.empty() ? options.channel : report.channel;
      object["requests"] = report.requests;
      object["bytesFetched"] = report.bytesFetched;
      // Always false: no feed is taken for its integrity alone. Kept for callers that read it.
      object["integrityOnly"] = false;
    }
    if (!report.release.empty()) {
      object["release"] = {{"id", report.release}, {"version", report.version}};
      if (command != "apply") object["release"].as_object()["notes"] = report.notes;
    }
    if (report.bytesToFetch) object["bytesToFetch"] = *report.bytesToFetch;
    if (options.stage && report.exitCode == kUpdateDone && report.outcome == "done") object["waits"] = report.waits;
    if (!report.verdict.empty()) object["verdict"] = report.verdict;
    WriteStandard(StandardStream::kOutput, boost::json::serialize(object) + "\n");
    return;
  }
  // A message that begins with its outcome, as the log's line does, is not prefixed twice.
  const std::string said = report.outcome + ": ";
  WriteStandard(report.exitCode == kUpdateDone ? StandardStream::kOutput : StandardStream::kError,
                "velmora-update: " + (report.message.rfind(said, 0) == 0 ? "" : said) + report.message + "\n");
  if (report.exitCode == kUpdateDone && !report.notes.empty()) {
    WriteStandard(StandardStream::kOutput, "release notes: " + report.notes + "\n");
  }
}

// Progress for a program reading standard output, as JSON lines, or for a person at a console,
// as one line written over; `pace` keeps it to a few a second.
void ShowFetched(ProgressPace& pace, bool console, std::uint64_t fetched, std::uint64_t toFetch, bool finished) {
  const std::uint64_t done = std::min(fetched, toFetch);
  if (!ShowProgress(pace, std::chrono::steady_clock::now(), done, toFetch, finished)) return;
  if (console) {
    std::string line(1, '\r');
    line += ProgressDisplay(done, toFetch);
    if (finished) line += '\n';
    WriteStandard(StandardStream::kOutput, line);
  } else {
    WriteStandard(StandardStream::kOutput, ProgressJson(done, toFetch) + "\n");
  }
}

// Plain decimal digits naming a process: the library's own conversion would take "-1" as 4294967295.
bool ProcessId(const NativeString& text, std::uint32_t& id) {
  std::string digits;
  if (!AsciiText(text, digits) || digits.empty() || digits.size() > 10 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const unsigned long long value = std::stoull(digits);
  id = static_cast<std::uint32_t>(value);
  return value != 0 && value <= 0xFFFFFFFFull;
}
}  // namespace

int RunUpdaterCommandLine(const std::vector<NativeString>& arguments) {
  UpdaterOptions options;
  po::variables_map values;
  std::vector<NativeString> commands;
  try {
    po::options_description described;
    described.add_options()
        ("help,h", "")
        ("install", NativeValue())
        ("feed", NativeValue())
        ("from", NativeValue())
        ("channel", NativeValue())
        ("json", "")
        ("progress", "")
        ("pid", NativeValue())
        ("stall-timeout", po::value<std::uint32_t>())
#ifndef _WIN32
        ("cafile", NativeValue())
        ("publisher", NativeValue())
#endif
        ("command", NativeValues(&commands));
    po::positional_options_description positional;
    positional.add("command", -1);
    po::store(po::basic_command_line_parser<NativeChar>(arguments).options(described).positional(positional).run(),
              values);
    po::notify(values);
  } catch (const po::error& rejection) {
    WriteStandard(StandardStream::kError, "velmora-update: " + std::string(rejection.what()) + "\n" + kUsage);
    return kUpdateRejected;
  }
  if (values.count("help") != 0) {
    WriteStandard(StandardStream::kOutput, kUsage);
    return kUpdateDone;
  }
  const auto reject = [](const std::string& why) {
    WriteStandard(StandardStream::kError, "velmora-update: " + why + "\n" + kUsage);
    return kUpdateRejected;
  };
  std::string command;
  if (commands.size() != 1 || !AsciiText(commands[0], command) ||
      (command != "check" && command != "stage" && command != "status" && command != "apply")) {
    return reject("name one command: check, stage, status or apply");
  }
  options.stage = command == "stage";
  // What each option is for: the others' commands reject it.
  for (const auto& [option, commandsTaking] : {std::pair{"feed", "check stage"}, std::pair{"from", "stage"},
                                               std::pair{"channel", "check stage"}, std::pair{"progress", "stage"},
                                               std::pair{"stall-timeout", "check stage"}, std::pair{"pid", "apply"}}) {
    if (values.count(option) != 0 && std::string(commandsTaking).find(command) == std::string::npos) {
      return reject(std::string("--") + option + " goes with " + commandsTaking);
    }
  }
  const auto text = [&](const char* name) { return values.count(name) != 0 ? values[name].as<NativeString>() : NativeString(); };
  options.install = text("install");
  options.from = text("from");
  if (!options.from.empty() && values.count("feed") != 0) return reject("--feed or --from, not both");
  if (!AsciiText(text("feed"), options.feed) ||
      (!options.feed.empty() && options.feed.rfind("https://", 0) != 0 && options.feed.rfind("http://", 0) != 0)) {
    return reject("--feed takes an http:// or https:// URL");
  }
  if (values.count("channel") != 0 && (!AsciiText(text("channel"), options.channel) || !ValidChannel(options.channel))) {
    return reject("--channel takes a name of a-z, 0-9, '.', '_' and '-'");
  }
  if (values.count("stall-timeout") != 0) {
    options.stallSeconds = values["stall-timeout"].as<std::uint32_t>();
    if (options.stallSeconds == 0 || options.stallSeconds > 3600) return reject("--stall-timeout takes 1 to 3600 seconds");
  }
#ifndef _WIN32
  options.cafile = text("cafile");
  options.publisher = text("publisher");
  if (options.cafile.empty() != options.publisher.empty()) return reject("--cafile and --publisher go together");
#endif
  if (command == "apply" && (values.count("pid") == 0 || !ProcessId(text("pid"), options.processId))) {
    return reject("apply takes --pid N, the id of the application's own process");
  }
  const bool json = values.count("json") != 0;
  if (command == "status") {
    const StatusReport status = RunStatus(options);
    WriteStandard(StandardStream::kOutput, json ? boost::json::serialize(status.object) + "\n" : status.text);
    return status.exitCode;
  }
  if (command == "apply") {
    const UpdateReport report = RunRestart(options);
    Print(command, options, report, json);
    return report.exitCode;
  }
  ProgressPace pace;
  std::uint64_t shownTenth = 0;
  if (values.count("progress") != 0) {
    options.progress = [&pace, console = StandardOutputIsTerminal()](std::uint64_t fetched, std::uint64_t toFetch,
                                                                    bool finished) {
      ShowFetched(pace, console, fetched, toFetch, finished);
    };
  } else if (!json) {
    // Every tenth of what is to fetch, once.
    options.progress = [&shownTenth](std::uint64_t fetched, std::uint64_t toFetch, bool) {
      const std::uint64_t tenth = std::min<std::uint64_t>(fetched * 10 / std::max<std::uint64_t>(toFetch, 1), 10);
      if (tenth > shownTenth) {
        WriteStandard(StandardStream::kError, "velmora-update: fetched " + std::to_string(std::min(fetched, toFetch)) +
                                                  " of " + std::to_string(toFetch) + " bytes\n");
      }
      shownTenth = std::max(shownTenth, tenth);
    };
  }
  const UpdateReport report = RunUpdate(options);
  Print(command, options, report, json);
  return report.exitCode;
}
