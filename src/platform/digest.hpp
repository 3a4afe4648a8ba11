#pragma once
// SHA-256 by the system's own implementation (on Windows) or the system's crypto library.

#include <array>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_ops.hpp"
#include "platform/native_text.hpp"

using Sha256 = std::array<std::uint8_t, 32>;

// What one read of a file found.
struct FileDigest {
  Sha256 sha256{};
  std::uint64_t names = 0;  // its names (hard links), as told by the handle it was read through
  bool special = false;     // no regular file was opened (a link, a pipe, a device): nothing read
};

// The SHA-256 of the file at `file`, read once from start to end, never through a link, shared
// as `sharing` says, with its number of names from the same handle. Returns the failure to open or
// read it, or a clear code.
boost::system::error_code Sha256OfFile(const NativeString& file, FileDigest& digest,
                                       ReadSharing sharing = ReadSharing::kReaders);

// The SHA-256 of `bytes`; false when the system could not compute it.
bool Sha256OfBytes(const std::string& bytes, Sha256& digest);

// A SHA-256 computed piece by piece, for bytes that arrive over time (a download). Empty when the
// system could not begin one.
using Sha256Stream = std::shared_ptr<void>;
Sha256Stream BeginSha256();
// False when the system could not take the bytes; the stream is then of no further use.
bool AddToSha256(const Sha256Stream& stream, const char* bytes, std::size_t size);
// The digest of everything added; the stream is of no further use.
bool FinishSha256(const Sha256Stream& stream, Sha256& digest);
