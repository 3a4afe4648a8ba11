#pragma once
// Where an administrator points an installation's updater: a mirror of the tree, another channel,
// or no checks at all. Two places, read at every run: the machine's policy (on Windows the values
// under HKLM\SOFTWARE\Policies\Velmora\Update, which only administrators can write) and the file
// data/velmora-update.ini of the installation. The policy wins over the file key by key, and both
// win over the command line's --feed and --channel: an application cannot talk its way past them.

#include <optional>
#include <string>
#include <vector>

#include "platform/native_text.hpp"
#include "platform/policy.hpp"

struct Setting {
  std::string value;
  std::string from;  // "policy", or the file's path, for the log and status
};

struct AdministratorSettings {
  std::optional<Setting> feed;     // the tree's base URL: an http:// or https:// URL
  std::optional<Setting> channel;  // a channel's name
  std::optional<Setting> checks;   // "on" or "off": off, check and stage contact no server
};

// The settings of a file's text: lines "key = value" (feed, channel, checks; keys in any letter
// case), blank lines and comments beginning with '#' or ';', CR LF or LF, a UTF-8 byte-order mark
// at the start. Nullopt, with `fault` saying which line and why, for anything else: an unknown
// key, a key given twice, a value that is not of its form.
std::optional<AdministratorSettings> ParseSettings(const std::string& text, const std::string& from,
                                                   std::string& fault);

// The settings of the machine's policy values, held to the same names and forms (a value that is
// no string is refused).
std::optional<AdministratorSettings> SettingsOfPolicy(const std::vector<PolicyValue>& values, std::string& fault);

// `over`, and what it leaves unset taken from `under`.
AdministratorSettings Overlaid(const AdministratorSettings& over, const AdministratorSettings& under);

// Whether checks against a server are turned off.
bool ChecksOff(const AdministratorSettings& settings);

// `text` as ASCII without control characters, into `ascii`; false when it is not.
bool AsciiText(const NativeString& text, std::string& ascii);
