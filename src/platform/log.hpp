#pragma once
// The installation's log file: whole lines appended, kept short, never through a link.

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <string>

#include "platform/native_text.hpp"

// Past this size the log is moved aside to "<file>.1" (replacing the one there) and begun anew.
inline constexpr std::uint64_t kLogRotateAt = 256 * 1024;
// A file at either name past this size was not written by a loader (or could not be rotated):
// it is never written to, and is not kept as the previous generation. The two files a run leaves
// hold at most twice this, plus the few lines runs writing at once add.
inline constexpr std::uint64_t kLogKeepAtMost = 384 * 1024;

// The name rotation moves `file` to: its previous generation.
inline NativeString PreviousLogGeneration(const NativeString& file) { return file + NativeFromAscii(".1"); }

// Appends `line`, a whole line with its line feed, to `file` with a single write at its end, so
// that lines of runs writing at once never mix. Creates the file, never its folder; writes only
// to a plain file with one name (no link, junction or other reparse point, no second hard link).
// Rotates as above, safe against other runs rotating at the same time: one of them moves the
// file, and the others' lines land in one generation or the other. With `firstOfRun`, a
// previous generation past kLogKeepAtMost is removed. Returns false on any failure, having
// retried, waited for and flushed nothing.
bool AppendLogLine(const NativeString& file, const std::string& line, bool firstOfRun);

// The whole of the log `file` into `bytes`, read as its writers open it: never through a link, and
// on Windows sharing reading, writing and deletion, so that a run writing or rotating the log is
// never kept out while it is read, nor the read by a run writing it. Returns
// `errc::no_such_file_or_directory` when nothing is at its name, `errc::invalid_argument` for
// anything but a plain file or one past twice kLogKeepAtMost (no log), the failure to read it, or
// a clear code.
boost::system::error_code ReadLog(const NativeString& file, std::string& bytes);

// This process's id.
std::uint32_t CurrentProcessId();
