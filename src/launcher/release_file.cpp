#include "launcher/release_file.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

namespace {
bool ValidName(std::string_view name) {
  const auto lowerOrDigit = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  return !name.empty() && name.size() <= 64 && lowerOrDigit(name[0]) &&
         std::all_of(name.begin(), name.end(), [&](char c) { return lowerOrDigit(c) || c == '.' || c == '_' || c == '-'; });
}

// The name after "key " on the line that begins `text`, which it takes off; nullopt for anything else.
std::optional<std::string> Line(std::string_view& text, std::string_view key) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos || text.substr(0, key.size()) != key || text.size() <= key.size() ||
      text[key.size()] != ' ') {
    return std::nullopt;
  }
  const std::string_view name = text.substr(key.size() + 1, end - key.size() - 1);
  text.remove_prefix(end + 1);
  return ValidName(name) ? std::optional<std::string>(name) : std::nullopt;
}
}  // namespace

std::optional<ReleaseFile> ParseReleaseFile(const std::string& text) {
  std::string_view rest(text);
  const std::string_view format = std::string_view(kReleaseFormat);
  if (rest.substr(0, format.size() + 1) != std::string(kReleaseFormat) + "\n") return std::nullopt;
  rest.remove_prefix(format.size() + 1);
  std::optional<std::string> product = Line(rest, "product");
  std::optional<std::string> platform = product ? Line(rest, "platform") : std::nullopt;
  if (!platform || !rest.empty()) return std::nullopt;
  return ReleaseFile{std::move(*product), std::move(*platform)};
}
