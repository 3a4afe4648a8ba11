#pragma once
// The release file, app/velmora.release: what a release is for, written by sign-update.sh into the
// update before its manifest, so that it is listed and signed like every file. Loaders and updaters
// take only releases of their own product and platform.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Its first line; then "product <name>" and "platform <name>", each line ended by a line feed.
inline constexpr char kReleaseFormat[] = "velmora-release 1";
// The largest release file read: it holds three short lines.
inline constexpr std::size_t kLargestReleaseFile = 4096;

struct ReleaseFile {
  std::string product;
  std::string platform;
};

// The release file in `text`; nullopt unless it is exactly the three lines, each name 1 to 64 of
// a-z, 0-9, '.', '_', '-' beginning with a letter or digit.
std::optional<ReleaseFile> ParseReleaseFile(const std::string& text);

enum class ReleaseFit {
  kOurs,
  kMissing,  // the release lists no release file: it names no product
  kMalformed,
  kOtherProduct,
  kOtherPlatform,
};

// What the release file `text` (nullopt: the release has none) makes of a release for this build:
// compared whole with the one a release of its product and platform carries (product.hpp), a
// difference told by the first line that differs. Apart from ParseReleaseFile, so that the loader
// links only this.
ReleaseFit FitOfRelease(std::optional<std::string_view> text);

// The finding's words, as the loader's and the updater's logs give them ("a release for another
// product"); empty for kOurs.
const char* ReleaseFitText(ReleaseFit fit);
