#include "updater/command_line.hpp"

#include <boost/json.hpp>
#include <boost/program_options.hpp>
#include <iostream>
#include <type_traits>

#include "launcher/run_log.hpp"
#include "updater/exit_codes.hpp"
#include "updater/feed.hpp"
#include "updater/update.hpp"

namespace po = boost::program_options;

namespace {
const char kUsage[] =
    "usage: velmora-update check|stage [options]\n"
    "  check                 is a release to stage on the feed: its version, notes and bytes to fetch\n"
    "  stage [--from DIR]    check, fetch what is missing, verify and stage it for the loader\n"
    "options:\n"
    "  --install DIR         the installation (default: the folder above this program's own)\n"
    "  --feed URL            the tree's base URL; the feed is URL/CHANNEL.feed\n"
    "  --from DIR            stage from a copy of the tree in a folder, not the server\n"
    "  --channel NAME        the channel (default: stable)\n"
    "  --json                write one JSON object to standard output\n"
    "  --stall-timeout S     a transfer without a byte for S seconds fails (default: 30)\n"
#ifndef _WIN32
    "  --cafile FILE         the roots the feed's signer must chain to (PEM)\n"
    "  --publisher NAME      the name the feed's signer must carry\n"
#endif
    "exit codes: 0 done or nothing to do, 2 command line, 3 no installation, 4 internal error,\n"
    "  5 data folder, 10 network, 11 feed refused, 12 feed cannot be checked now, 13 release refused,\n"
    "  14 disk full, 15 busy\n";

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

// Options whose text must be ASCII (URLs, channel names) read as native text first.
bool Ascii(const NativeString& text, std::string& ascii) {
  ascii.clear();
  for (const NativeChar c : text) {
    if (c < 0x20 || c > 0x7E) return false;
    ascii.push_back(static_cast<char>(c));
  }
  return true;
}

void Print(const UpdaterOptions& options, const UpdateReport& report, bool json) {
  if (json) {
    boost::json::object object{{"command", options.stage ? "stage" : "check"},
                               {"outcome", report.outcome},
                               {"exitCode", report.exitCode},
                               {"message", report.message},
                               {"channel", options.channel},
                               {"requests", report.requests},
                               {"bytesFetched", report.bytesFetched},
                               {"integrityOnly", report.integrityOnly}};
    if (!report.release.empty()) {
      object["release"] = {{"id", report.release}, {"version", report.version}, {"notes", report.notes}};
    }
    if (report.bytesToFetch) object["bytesToFetch"] = *report.bytesToFetch;
    if (options.stage && report.exitCode == kUpdateDone && report.outcome == "done") object["waits"] = report.waits;
    std::cout << boost::json::serialize(object) << '\n';
    return;
  }
  if (report.integrityOnly) std::cerr << "velmora-update: no publisher named: the feed is checked for its integrity only\n";
  (report.exitCode == kUpdateDone ? std::cout : std::cerr) << "velmora-update: " << report.outcome << ": "
                                                           << report.message << '\n';
  if (report.exitCode == kUpdateDone && !report.notes.empty()) std::cout << "release notes: " << report.notes << '\n';
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
    std::cerr << "velmora-update: " << rejection.what() << '\n' << kUsage;
    return kUpdateRejected;
  }
  if (values.count("help") != 0) {
    std::cout << kUsage;
    return kUpdateDone;
  }
  const auto reject = [](const std::string& why) {
    std::cerr << "velmora-update: " << why << '\n' << kUsage;
    return kUpdateRejected;
  };
  if (commands.size() != 1 || (commands[0] != NativeFromAscii("check") && commands[0] != NativeFromAscii("stage"))) {
    return reject("name one command: check or stage");
  }
  options.stage = commands[0] == NativeFromAscii("stage");
  const auto text = [&](const char* name) { return values.count(name) != 0 ? values[name].as<NativeString>() : NativeString(); };
  options.install = text("install");
  options.from = text("from");
  if (!options.from.empty() && !options.stage) return reject("--from goes with stage");
  if (!options.from.empty() && values.count("feed") != 0) return reject("--feed or --from, not both");
  if (!Ascii(text("feed"), options.feed) ||
      (!options.feed.empty() && options.feed.rfind("https://", 0) != 0 && options.feed.rfind("http://", 0) != 0)) {
    return reject("--feed takes an http:// or https:// URL");
  }
  if (values.count("channel") != 0 && (!Ascii(text("channel"), options.channel) || !ValidChannel(options.channel))) {
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
  const bool json = values.count("json") != 0;
  if (!json) {
    options.progress = [](std::uint64_t fetched, std::uint64_t toFetch) {
      std::cerr << "velmora-update: fetched " << fetched << " of " << toFetch << " bytes\n";
    };
  }
  const UpdateReport report = RunUpdate(options);
  Print(options, report, json);
  return report.exitCode;
}
