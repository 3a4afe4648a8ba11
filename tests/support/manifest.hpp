#pragma once
// Manifests as an updater stages them, with hashes from outside the loader: natively sha256sum
// itself, on Windows the CryptoAPI's SHA-256 (advapi32), never the loader's own digest service, so
// that a fault in it cannot hide in the files that test it.

#include <filesystem>
#include <string>
#include <vector>

// The SHA-256 of each of `files` (relative to `directory`), 64 lowercase hex digits each.
std::vector<std::string> Sha256sum(const std::filesystem::path& directory, const std::vector<std::string>& files);

// Writes `staging`/SHA256SUMS: a line "<sha256>  <path>" for every file below `staging` but the
// manifest's own two, `/` between names, sorted bytewise, as sign-update.sh writes it.
void WriteManifest(const std::filesystem::path& staging);
