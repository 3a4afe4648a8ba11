#include "updater/plan.hpp"

#include <algorithm>
#include <set>

namespace {
// The decimal number at `at` of `text`, moving `at` past it.
std::optional<std::uint64_t> NumberAt(const std::string& text, std::size_t& at) {
  if (at >= text.size() || text[at] < '0' || text[at] > '9') return std::nullopt;
  std::uint64_t number = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    if (number > (UINT64_MAX - 9) / 10) return std::nullopt;
    number = number * 10 + static_cast<std::uint64_t>(text[at] - '0');
  }
  return number;
}

// Whether "bytes N-M/T" (or "bytes N-M/*") is the rest of an object from `start`: N is `start`
// and, where T is given, M its last byte.
bool RestFrom(const std::string& contentRange, std::uint64_t start) {
  const std::string prefix = "bytes ";
  std::size_t at = prefix.size();
  if (contentRange.rfind(prefix, 0) != 0) return false;
  const std::optional<std::uint64_t> first = NumberAt(contentRange, at);
  if (!first || *first != start || at >= contentRange.size() || contentRange[at++] != '-') return false;
  const std::optional<std::uint64_t> last = NumberAt(contentRange, at);
  if (!last || *last < *first || at >= contentRange.size() || contentRange[at++] != '/') return false;
  if (contentRange.compare(at, std::string::npos, "*") == 0) return true;
  const std::optional<std::uint64_t> total = NumberAt(contentRange, at);
  return total && at == contentRange.size() && *last + 1 == *total;
}

bool IdentityEncoding(const std::string& encoding) {
  const std::string identity = "identity";
  if (encoding.empty()) return true;
  if (encoding.size() != identity.size()) return false;
  for (std::size_t i = 0; i < identity.size(); ++i) {
    if ((encoding[i] | 0x20) != identity[i]) return false;
  }
  return true;
}
}  // namespace

std::vector<FilePlan> PlanSources(const std::vector<ManifestLine>& lines, const std::map<std::string, std::uint64_t>& sizes,
                                  const std::vector<FoundFile>& installed, const std::vector<FoundFile>& incoming) {
  std::map<NativeString, std::uint64_t> installedAt, incomingAt;
  std::set<std::uint64_t> installedSizes, incomingSizes;
  for (const FoundFile& file : installed) {
    installedAt.emplace(file.path, file.size);
    installedSizes.insert(file.size);
  }
  for (const FoundFile& file : incoming) {
    incomingAt.emplace(file.path, file.size);
    incomingSizes.insert(file.size);
  }
  std::vector<FilePlan> plans;
  plans.reserve(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto known = sizes.find(lines[i].digest);
    const std::uint64_t size = known == sizes.end() ? 0 : known->second;
    FilePlan plan{i, size, {}};
    const auto sameSize = [&](const std::map<NativeString, std::uint64_t>& at) {
      const auto found = at.find(lines[i].path);
      return found != at.end() && found->second == size;
    };
    if (sameSize(incomingAt)) plan.sources.push_back(FileSource::kIncoming);
    if (sameSize(installedAt)) plan.sources.push_back(FileSource::kInstalled);
    // A file fetched earlier in this run for another line counts as well: an object is fetched once.
    plan.sources.push_back(FileSource::kIncomingByDigest);
    if (installedSizes.count(size) != 0) plan.sources.push_back(FileSource::kInstalledByDigest);
    plan.sources.push_back(FileSource::kServer);
    plans.push_back(std::move(plan));
  }
  return plans;
}

std::optional<std::pair<NativeString, NativeString>> PathsTakenForOne(
    const std::vector<ManifestLine>& lines, int (*compare)(const NativeString&, const NativeString&)) {
  std::vector<const NativeString*> paths;
  for (const ManifestLine& line : lines) paths.push_back(&line.path);
  std::sort(paths.begin(), paths.end(), [&](const NativeString* a, const NativeString* b) { return compare(*a, *b) < 0; });
  for (std::size_t i = 1; i < paths.size(); ++i) {
    if (compare(*paths[i - 1], *paths[i]) == 0) return std::pair(*paths[i - 1], *paths[i]);
  }
  return std::nullopt;
}

bool SizesCoverManifest(const std::map<std::string, std::uint64_t>& sizes, const std::vector<ManifestLine>& lines) {
  std::set<std::string> digests;
  for (const ManifestLine& line : lines) {
    if (sizes.count(line.digest) == 0) return false;
    digests.insert(line.digest);
  }
  return digests.size() == sizes.size();
}

HttpMeaning MeaningOfHttpAnswer(int status, std::uint64_t resumeFrom, const std::string& contentRange) {
  switch (status) {
    case 200:
      return HttpMeaning::kBody;
    case 206:
      return resumeFrom > 0 && RestFrom(contentRange, resumeFrom) ? HttpMeaning::kResumed : HttpMeaning::kMisranged;
    case 304:
      return HttpMeaning::kNotModified;
    case 416:
      return resumeFrom > 0 ? HttpMeaning::kRangeRefused : HttpMeaning::kUnexpected;
    case 404:
    case 410:
      return HttpMeaning::kMissing;
    case 408:
    case 429:
      return HttpMeaning::kUnavailable;
    default:
      return status >= 500 && status <= 599 ? HttpMeaning::kUnavailable : HttpMeaning::kUnexpected;
  }
}

Delivery DeliveryOf(HttpMeaning meaning, const std::string& contentEncoding, bool ended, std::uint64_t received,
                    std::uint64_t expected) {
  if (meaning == HttpMeaning::kMisranged) return Delivery::kMisranged;
  if (!IdentityEncoding(contentEncoding)) return Delivery::kEncoded;
  if (received > expected) return Delivery::kLong;
  if (!ended) return received == expected ? Delivery::kWhole : Delivery::kCut;
  return received < expected ? Delivery::kShort : Delivery::kWhole;
}

bool DamagedCopy(Delivery delivery) { return delivery != Delivery::kWhole && delivery != Delivery::kCut; }
