#include "updater/plan.hpp"

#include <set>

namespace {
// "bytes N-M/T" or "bytes N-M/*": N, the first byte sent.
std::optional<std::uint64_t> RangeStart(const std::string& contentRange) {
  const std::string prefix = "bytes ";
  if (contentRange.rfind(prefix, 0) != 0) return std::nullopt;
  std::uint64_t start = 0;
  std::size_t at = prefix.size();
  if (at >= contentRange.size() || contentRange[at] < '0' || contentRange[at] > '9') return std::nullopt;
  for (; at < contentRange.size() && contentRange[at] >= '0' && contentRange[at] <= '9'; ++at) {
    if (start > (UINT64_MAX - 9) / 10) return std::nullopt;
    start = start * 10 + static_cast<std::uint64_t>(contentRange[at] - '0');
  }
  if (at >= contentRange.size() || contentRange[at] != '-') return std::nullopt;
  return start;
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
    case 206: {
      const std::optional<std::uint64_t> start = RangeStart(contentRange);
      return resumeFrom > 0 && start && *start == resumeFrom ? HttpMeaning::kResumed : HttpMeaning::kUnexpected;
    }
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
