#pragma once
// A staging's manifest: the SHA-256 of every file of the update, in the form `sha256sum` writes,
// and how its lines pair with the files on disk.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/digest.hpp"
#include "platform/native_text.hpp"

// The manifest and its detached signature, in the staging directory.
inline constexpr char kManifestFile[] = "SHA256SUMS";
inline constexpr char kManifestSignatureFile[] = "SHA256SUMS.p7";

struct ManifestLine {
  std::string digest;  // 64 lowercase hex digits
  NativeString path;   // relative to the staging directory, `/` between names
};

// The lines of `text`, each "<64 hex digits>  <path>" (or " *" before a path, as written for
// binary files), ended by a line feed (the last one may lack it). A path is UTF-8, relative, with
// `/` between names that are neither empty, "." nor "..", and holds no backslash or control
// character. Nullopt when any line is not of that form.
std::optional<std::vector<ManifestLine>> ParseManifest(const std::string& text);

// Why the lines and the files on disk do not pair.
enum class ListingFault {
  kNone,
  kUnlisted,  // a file that no line names
  kMissing,   // a line that names no file
  kDoubled,   // two lines that name one file
};

struct Listing {
  ListingFault fault = ListingFault::kNone;
  NativeString path;                                      // the file or line at fault
  std::vector<std::pair<std::size_t, std::size_t>> pairs;  // (line, file) indexes, when there is no fault
};

// Pairs each of `lines` with the one of `files` (relative paths, `/` between names) that it names,
// names compared by `compare` (negative, zero or positive, as the system orders file names).
Listing PairLinesWithFiles(const std::vector<ManifestLine>& lines, const std::vector<NativeString>& files,
                           int (*compare)(const NativeString&, const NativeString&));

// The digest as a manifest writes it: 64 lowercase hex digits.
std::string HexOf(const Sha256& digest);
