#include "updater/settings.hpp"

#include <algorithm>

#include "launcher/run_log.hpp"
#include "updater/feed.hpp"
#include "updater/paths.hpp"
#include "updater/run.hpp"

namespace fs = boost::filesystem;

namespace {
std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool Url(const std::string& value) {
  const bool scheme = value.rfind("https://", 0) == 0 || value.rfind("http://", 0) == 0;
  return scheme && value.size() > 8 && value.size() <= 2048 &&
         std::all_of(value.begin(), value.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

// One key's value into `settings`; false with `fault` when it is not one of its kind.
bool Take(AdministratorSettings& settings, const std::string& key, const std::string& value, const std::string& from,
          std::string& fault) {
  std::optional<Setting>* slot = key == "feed" ? &settings.feed
                                 : key == "channel" ? &settings.channel
                                 : key == "checks" ? &settings.checks
                                                   : nullptr;
  if (slot == nullptr) {
    fault = "unknown key \"" + key + "\" (feed, channel or checks)";
    return false;
  }
  if (*slot) {
    fault = "\"" + key + "\" given twice";
    return false;
  }
  const bool fits = key == "feed" ? Url(value) : key == "channel" ? ValidChannel(value) : value == "on" || value == "off";
  if (!fits) {
    fault = key == "feed"      ? "\"feed\" takes an http:// or https:// URL"
            : key == "channel" ? "\"channel\" takes a name of a-z, 0-9, '.', '_' and '-'"
                               : "\"checks\" takes on or off";
    return false;
  }
  *slot = Setting{value, from};
  return true;
}
}  // namespace

bool AsciiText(const NativeString& text, std::string& ascii) {
  ascii.clear();
  for (const NativeChar c : text) {
    if (c < 0x20 || c > 0x7E) return false;
    ascii.push_back(static_cast<char>(c));
  }
  return true;
}

std::optional<AdministratorSettings> ParseSettings(const std::string& text, const std::string& from,
                                                   std::string& fault) {
  AdministratorSettings settings;
  std::size_t start = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string content = Trimmed(line);
    if (content.empty() || content[0] == '#' || content[0] == ';') continue;
    const std::size_t equals = content.find('=');
    std::string why;
    if (equals == std::string::npos) {
      why = "not of the form key = value";
    } else if (!std::all_of(content.begin(), content.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
      why = "not plain ASCII text";
    } else if (Take(settings, Lower(Trimmed(content.substr(0, equals))), Trimmed(content.substr(equals + 1)), from,
                    why)) {
      continue;
    }
    fault = from + " line " + std::to_string(number) + ": " + why;
    return std::nullopt;
  }
  return settings;
}

std::optional<AdministratorSettings> SettingsOfPolicy(const std::vector<PolicyValue>& values, std::string& fault) {
  AdministratorSettings settings;
  for (const PolicyValue& value : values) {
    std::string name;
    std::string text;
    std::string why;
    if (!AsciiText(value.name, name)) {
      why = "a value whose name is not plain ASCII";
    } else if (!value.isText) {
      why = "\"" + name + "\" is not a string value";
    } else if (!AsciiText(value.text, text)) {
      why = "\"" + name + "\" is not plain ASCII text";
    } else if (Take(settings, Lower(name), Trimmed(text), "policy", why)) {
      continue;
    }
    fault = "policy: " + why;
    return std::nullopt;
  }
  return settings;
}

AdministratorSettings Overlaid(const AdministratorSettings& over, const AdministratorSettings& under) {
  return {over.feed ? over.feed : under.feed, over.channel ? over.channel : under.channel,
          over.checks ? over.checks : under.checks};
}

bool ChecksOff(const AdministratorSettings& settings) { return settings.checks && settings.checks->value == "off"; }

AdministratorSettings ReadAdministratorSettings(const fs::path& dataDirectory, ReadSharing sharing) {
  const fs::path file = SettingsFile(dataDirectory);
  std::string fault;
  std::optional<std::string> text;
  if (const boost::system::error_code error = ReadIfThere(file, text, sharing)) {
    Fail(kUpdateSettingsRefused, "settings refused", "settings refused: could not read " + LogText(file) + ", " + LogError(error));
  }
  std::optional<AdministratorSettings> inFile = text ? ParseSettings(*text, LogText(file), fault) : AdministratorSettings{};
  if (!inFile) Fail(kUpdateSettingsRefused, "settings refused", "settings refused: " + fault);
  std::vector<PolicyValue> values;
  if (const boost::system::error_code error = ReadUpdaterPolicy(values)) {
    Fail(kUpdateSettingsRefused, "settings refused", "settings refused: could not read the policy, " + LogError(error));
  }
  const std::optional<AdministratorSettings> policy = SettingsOfPolicy(values, fault);
  if (!policy) Fail(kUpdateSettingsRefused, "settings refused", "settings refused: " + fault);
  return Overlaid(*policy, *inFile);
}

std::string ApplyAdministratorSettings(Run& run) {
  const AdministratorSettings settings = ReadAdministratorSettings(run.data);
  std::string said;
  const auto say = [&](const char* key, const Setting& setting, const std::string& given) {
    said += (said.empty() ? "settings: " : "; ") + std::string(key) + " " + setting.value + " from " + setting.from +
            (given.empty() || given == setting.value ? std::string() : ", in place of " + given);
  };
  if (ChecksOff(settings) && run.options.from.empty()) {
    const std::string message = "checks are turned off by " + settings.checks->from + ": no server is asked";
    LogLine(message);
    throw Stop{kUpdateDone, "turned off", message};
  }
  // A copy of the tree in a folder is named by whoever runs the command, by hand.
  if (settings.feed && run.options.from.empty()) {
    say("feed", *settings.feed, run.options.feed);
    run.base = settings.feed->value;
    while (!run.base.empty() && run.base.back() == '/') run.base.pop_back();
  }
  if (settings.channel) {
    say("channel", *settings.channel, run.options.channel);
    run.options.channel = settings.channel->value;
  }
  return said;
}
