#include "launcher/manifest.hpp"

#include <algorithm>
#include <cstdint>
#include <numeric>

#include "launcher/staged_names.hpp"

namespace {
bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The path's text in the platform's form: UTF-16 on Windows, the same bytes elsewhere.
std::optional<NativeString> NativePath(const std::string& utf8) {
  NativeString native;
  native.reserve(utf8.size());
  for (std::size_t at = 0; at < utf8.size();) {
    const std::size_t start = at;
    const std::optional<std::uint32_t> point =
        static_cast<unsigned char>(utf8[at]) < 0x80 ? std::optional<std::uint32_t>(utf8[at++]) : NextUtf8CodePoint(utf8, at);
    if (!point || *point < 0x20 || *point == 0x7F || *point == '\\') return std::nullopt;
    if constexpr (sizeof(NativeChar) == 2) {
      if (*point >= 0x10000) {
        native.push_back(static_cast<NativeChar>(0xD800 + ((*point - 0x10000) >> 10)));
        native.push_back(static_cast<NativeChar>(0xDC00 + ((*point - 0x10000) & 0x3FF)));
      } else {
        native.push_back(static_cast<NativeChar>(*point));
      }
    } else {
      for (std::size_t i = start; i < at; ++i) native.push_back(static_cast<NativeChar>(utf8[i]));
    }
  }
  return native;
}

bool WellFormedRelative(const std::string& path) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    const std::string name = path.substr(start, end - start);
    if (name.empty() || name == "." || name == "..") return false;
    if (end == path.size()) return true;
    start = end + 1;
  }
}
}  // namespace

std::optional<std::vector<ManifestLine>> ParseManifest(const std::string& text) {
  constexpr std::size_t kDigits = 64;
  std::vector<ManifestLine> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.size() < kDigits + 3 || !std::all_of(line.begin(), line.begin() + kDigits, IsHex) ||
        line[kDigits] != ' ' || (line[kDigits + 1] != ' ' && line[kDigits + 1] != '*')) {
      return std::nullopt;
    }
    const std::string path = line.substr(kDigits + 2);
    const std::optional<NativeString> native = NativePath(path);
    if (!native || !WellFormedRelative(path)) return std::nullopt;
    std::string digest = line.substr(0, kDigits);
    std::transform(digest.begin(), digest.end(), digest.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
    lines.push_back({std::move(digest), *native});
  }
  return lines;
}

Listing PairLinesWithFiles(const std::vector<ManifestLine>& lines, const std::vector<NativeString>& files,
                           int (*compare)(const NativeString&, const NativeString&)) {
  std::vector<std::size_t> lineOrder(lines.size());
  std::vector<std::size_t> fileOrder(files.size());
  std::iota(lineOrder.begin(), lineOrder.end(), 0);
  std::iota(fileOrder.begin(), fileOrder.end(), 0);
  std::stable_sort(lineOrder.begin(), lineOrder.end(),
                   [&](std::size_t a, std::size_t b) { return compare(lines[a].path, lines[b].path) < 0; });
  std::stable_sort(fileOrder.begin(), fileOrder.end(),
                   [&](std::size_t a, std::size_t b) { return compare(files[a], files[b]) < 0; });
  Listing listing;
  for (std::size_t i = 1; i < lineOrder.size(); ++i) {
    if (compare(lines[lineOrder[i - 1]].path, lines[lineOrder[i]].path) == 0) {
      return {ListingFault::kDoubled, lines[lineOrder[i]].path, {}};
    }
  }
  std::size_t line = 0;
  std::size_t file = 0;
  while (line < lineOrder.size() || file < fileOrder.size()) {
    const int order = line == lineOrder.size()   ? 1
                      : file == fileOrder.size() ? -1
                                                 : compare(lines[lineOrder[line]].path, files[fileOrder[file]]);
    if (order < 0) return {ListingFault::kMissing, lines[lineOrder[line]].path, {}};
    if (order > 0) return {ListingFault::kUnlisted, files[fileOrder[file]], {}};
    listing.pairs.emplace_back(lineOrder[line++], fileOrder[file++]);
  }
  return listing;
}

std::string HexOf(const Sha256& digest) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : digest) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0xF]);
  }
  return hex;
}
