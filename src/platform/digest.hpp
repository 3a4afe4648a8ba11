#pragma once
// SHA-256 by the system's own implementation (on Windows) or the system's crypto library.

#include <array>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/native_text.hpp"

using Sha256 = std::array<std::uint8_t, 32>;

// The SHA-256 of the file at `file`, read once from start to end, never through a link. Returns
// the failure to open or read it, or a clear code with `digest` set.
boost::system::error_code Sha256OfFile(const NativeString& file, Sha256& digest);

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
