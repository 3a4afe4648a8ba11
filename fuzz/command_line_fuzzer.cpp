// The command-line decision on arbitrary argument lists: the input is split at NUL bytes into
// words. Whatever the words, the decision must not crash, must run at most one mode, and must
// hand apply mode only text that stands on the command line.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "launcher/exit_codes.hpp"
#include "support/decision.hpp"

namespace {
std::vector<std::string> Words(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words;
  if (size == 0) return words;
  std::string word;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  words.push_back(word);
  return words;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The name in a long-option word: after "--", up to the first '='.
std::optional<std::string> LongKey(const std::string& word) {
  if (word.size() < 3 || !StartsWith(word, "--")) return std::nullopt;
  const std::size_t equals = word.find('=');
  return word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
}

// A long-option word naming `name` by one of its non-empty prefixes.
bool NamesLongOption(const std::string& word, const std::string& name) {
  const std::optional<std::string> key = LongKey(word);
  return key && !key->empty() && key->size() <= name.size() && StartsWith(name, *key);
}

// Every text an option value can be: a whole word, or what follows the first '=' of a long option.
std::vector<std::string> ValueCandidates(const std::vector<std::string>& words) {
  std::vector<std::string> candidates(words);
  for (const std::string& word : words) {
    const std::size_t equals = word.find('=');
    if (StartsWith(word, "--") && equals != std::string::npos) candidates.push_back(word.substr(equals + 1));
  }
  return candidates;
}

// The unsigned 32-bit number a text reads as: plain decimal digits. Nothing for any other text.
std::optional<std::uint32_t> ReadsAsProcessId(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFu) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

bool IsDecimal(const std::string& text) {
  if (text.empty() || text.size() > 20) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void Require(bool holds) {
  if (!holds) std::abort();
}

// Outcomes decided without the library, for argument lists simple enough to read by hand.
void CheckDecidableForms(const std::vector<std::string>& words, int code, const Decision& decision) {
  bool anyDash = false;
  for (const std::string& word : words) anyDash = anyDash || StartsWith(word, "-");
  // Words that cannot be options are positional, and unregistered positionals are ignored.
  if (!anyDash) Require(code == kStartModeCode && decision.startRuns == 1);

  const auto applied = [&](const std::string& directory, std::optional<std::uint32_t> processId) {
    Require(code == kApplyModeCode && decision.applyRuns == 1 && decision.installDirectory == directory &&
            decision.processId == processId);
  };
  if (words.size() == 2 && words[0] == "--ad" && !StartsWith(words[1], "-")) applied(words[1], std::nullopt);
  if (words.size() == 1 && StartsWith(words[0], "--ad=") && words[0].size() > 5) {
    applied(words[0].substr(5), std::nullopt);
  }
  if (words.size() == 4 && words[0] == "--ad" && !StartsWith(words[1], "-") && words[2] == "--pid" &&
      IsDecimal(words[3])) {
    const std::string& digits = words[3];
    const std::size_t first = digits.find_first_not_of('0');
    const std::string significant = first == std::string::npos ? "0" : digits.substr(first);
    if (significant.size() > 10 || std::stoull(significant) > 0xFFFFFFFFull) {
      Require(code == kExitRejected && decision.applyRuns + decision.startRuns == 0);
    } else {
      applied(words[1], static_cast<std::uint32_t>(std::stoull(significant)));
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> words = Words(data, size);
  const Decision decision = Decide(words);
  const int code = decision.code;

  // At most one mode, once, and its code is the result; otherwise help or a rejection.
  Require(decision.startRuns + decision.applyRuns <= 1);
  if (decision.startRuns == 1) Require(code == kStartModeCode);
  if (decision.applyRuns == 1) Require(code == kApplyModeCode);
  if (decision.startRuns + decision.applyRuns == 0) Require(code == kExitHelp || code == kExitRejected);
  // Only a rejection says anything, and it always says why.
  Require((code == kExitRejected) == !decision.errors.empty());

  if (code == kExitHelp) {
    bool asked = false;
    for (const std::string& word : words) {
      // The library also matches a long name against the short one: "---h" is help too.
      asked = asked || NamesLongOption(word, "help") || LongKey(word) == "-h" || StartsWith(word, "-h");
    }
    Require(asked);
  }
  if (decision.applyRuns == 1) {
    bool named = false;
    for (const std::string& word : words) named = named || NamesLongOption(word, "ad");
    Require(named);
    bool given = false;
    for (const std::string& candidate : ValueCandidates(words)) given = given || candidate == decision.installDirectory;
    Require(given);
    if (decision.processId) {
      bool pidNamed = false;
      bool pidGiven = false;
      for (const std::string& word : words) pidNamed = pidNamed || NamesLongOption(word, "pid");
      for (const std::string& candidate : ValueCandidates(words)) {
        pidGiven = pidGiven || ReadsAsProcessId(candidate) == decision.processId;
      }
      Require(pidNamed && pidGiven);
    }
  }
  CheckDecidableForms(words, code, decision);
  return 0;
}
