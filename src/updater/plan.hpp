#pragma once
// Where each file of a release comes from, and what an HTTP answer means for a download. Pure
// functions over what the updater found on disk and what the server said.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "launcher/manifest.hpp"
#include "platform/native_text.hpp"

// A file found on disk: its path relative to the folder it was found in, `/` between names.
struct FoundFile {
  NativeString path;
  std::uint64_t size = 0;
};

enum class FileSource {
  kIncoming,           // the file is already in the incoming tree at its own path
  kInstalled,          // the installed file at the same path, copied
  kIncomingByDigest,   // a file of the incoming tree with that digest, elsewhere (or fetched this run), copied
  kInstalledByDigest,  // an installed file with that digest, elsewhere, copied
  kServer,             // the server's object, resumed where a partial download of it is kept
};

struct FilePlan {
  std::size_t line = 0;     // the manifest line it fulfils
  std::uint64_t size = 0;   // from SIZES: what every source is held to
  std::vector<FileSource> sources;  // the cheapest first; the server always last
};

// For each line of `lines` (whose digests `sizes` gives sizes for), the sources to try in order:
// what is in `incoming` or installed (`installed`, relative to the install directory) at its own
// path with its size ("Velmora.exe" and "app/..." lie at the same relative paths in the install
// directory as in a staging), then any local file of its size (verified by digest), then the server. A
// source is offered only where a file of the right size may be found there.
std::vector<FilePlan> PlanSources(const std::vector<ManifestLine>& lines, const std::map<std::string, std::uint64_t>& sizes,
                                  const std::vector<FoundFile>& installed, const std::vector<FoundFile>& incoming);

// Two paths of `lines` that `compare` orders as one (with CompareFileNamesAsWindows, equal but for
// letter case: Windows would hold them as one file); nullopt when no two are.
std::optional<std::pair<NativeString, NativeString>> PathsTakenForOne(
    const std::vector<ManifestLine>& lines, int (*compare)(const NativeString&, const NativeString&));

// Whether `sizes` names exactly the distinct digests of `lines`.
bool SizesCoverManifest(const std::map<std::string, std::uint64_t>& sizes, const std::vector<ManifestLine>& lines);

// What the answer to a download means.
enum class HttpMeaning {
  kBody,         // the whole object follows
  kResumed,      // the rest of the object follows, from where it was asked for
  kNotModified,  // 304: what was fetched before still holds
  kRangeRefused, // 416: the kept part is not a part of this object: begin anew
  kMissing,      // 404 or 410: not on the server
  kUnavailable,  // 5xx, 429, 408: the server cannot answer now
  kMisranged,    // a 206 of another range than the rest of the object from where it was asked, or of
                 // any range when none was asked
  kUnexpected,   // anything else (a redirection not followed)
};

// The meaning of `status` (with its Content-Range) for a request that asked for the object from
// `resumeFrom` (0: the whole of it). A 200 to a request for a range is the whole object: a server
// that ignores ranges sends it again.
HttpMeaning MeaningOfHttpAnswer(int status, std::uint64_t resumeFrom, const std::string& contentRange);

// What an answer of the object's bytes (kBody, kResumed, kMisranged) brought.
enum class Delivery {
  kWhole,      // the bytes it should carry, no more, no fewer: the digest decides
  kCut,        // the transfer failed before the answer ended: what came is kept for the next run
  kShort,      // the answer ended as it said it would, short of the signed size: the server's copy
  kLong,       // more than the signed size
  kEncoded,    // in a content encoding that was not asked for (none is)
  kMisranged,  // a 206 of another range
};

// What `meaning`'s answer brought: `received` bytes where it should carry `expected` (the signed
// size, less the part kept for a resumed answer); `ended` when it ended where it said it would.
Delivery DeliveryOf(HttpMeaning meaning, const std::string& contentEncoding, bool ended, std::uint64_t received,
                    std::uint64_t expected);

// Whether `delivery` is the server's damaged copy, rather than the network's failure or the object.
bool DamagedCopy(Delivery delivery);
