// A staging's manifest as any updater or attacker may write it: parsing never fails but by saying
// so, what it takes says back the same lines, its lines pair with the very files they name, and
// the rule on names takes any of them (and any bytes as a name) and passes no name it refuses.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "launcher/manifest.hpp"
#include "launcher/staged_names.hpp"
#include "platform/file_ops.hpp"

namespace {
void Require(bool holds) {
  if (!holds) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  WindowsCanHold(text);
  const auto lines = ParseManifest(text);
  if (!lines) return 0;
  std::string written;
  std::vector<NativeString> files;
  for (const ManifestLine& line : *lines) {
    Require(line.digest.size() == 64 && !line.path.empty() && line.path.front() != '/' && line.path.back() != '/');
    written += line.digest + "  " + line.path + "\n";
    if (StagedPathFault("/opt/Velmora", line.path, false) == NameFault::kNone) {
      for (std::size_t start = 0, end = 0; end != NativeString::npos; start = end + 1) {
        end = line.path.find('/', start);
        Require(WindowsCanHold(line.path.substr(start, end == NativeString::npos ? end : end - start)));
      }
    }
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
