// A staging's manifest as any updater or attacker may write it: parsing never fails but by saying
// so, what it takes says back the same lines, and its lines pair with the very files they name.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "launcher/manifest.hpp"
#include "platform/file_ops.hpp"

namespace {
void Require(bool holds) {
  if (!holds) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto lines = ParseManifest(text);
  if (!lines) return 0;
  std::string written;
  std::vector<NativeString> files;
  for (const ManifestLine& line : *lines) {
    Require(line.digest.size() == 64 && !line.path.empty() && line.path.front() != '/' && line.path.back() != '/');
    written += line.digest + "  " + line.path + "\n";
    files.push_back(line.path);
  }
  const auto again = ParseManifest(written);
  Require(again && again->size() == lines->size());
  for (std::size_t i = 0; i < lines->size(); ++i) Require((*again)[i].path == (*lines)[i].path);
  const Listing listing = PairLinesWithFiles(*lines, files, CompareFileNames);
  Require(listing.fault == ListingFault::kNone || listing.fault == ListingFault::kDoubled);
  if (listing.fault == ListingFault::kNone) {
    Require(listing.pairs.size() == lines->size());
    for (const auto& [line, file] : listing.pairs) Require(line == file);
  }
  return 0;
}
