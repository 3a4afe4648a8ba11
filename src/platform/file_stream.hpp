#pragma once
// Files read and written piece by piece: what the updater downloads or copies into its own
// folders, each flushed to disk before the staging that holds it appears.

#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/file_ops.hpp"
#include "platform/native_text.hpp"

// An open file, closed with the last copy of this.
using StreamedFile = std::shared_ptr<void>;

// Opens the plain file `file` for reading, never through a link, sharing it with programs that
// have it open (an installed program that runs); `size` its length.
boost::system::error_code OpenInput(const NativeString& file, StreamedFile& input, std::uint64_t& size);
// Up to `capacity` bytes into `buffer`; `count` 0 at the end.
boost::system::error_code ReadInput(const StreamedFile& input, char* buffer, std::size_t capacity, std::size_t& count);

// Opens `file` for writing, never through a link: created empty (replacing what was there) or,
// with `append`, continued at its end, created where missing; `size` its length once open. On
// POSIX a new file may be run by its owner (the manifest names no modes, and holds programs).
boost::system::error_code OpenOutput(const NativeString& file, bool append, StreamedFile& output, std::uint64_t& size);
// The same for `relative` below the held folder `folder`, reached as files_below.hpp says, never through
// a link: without `append` whatever stands at the name but a folder (a file, a link, as the link)
// is removed first and the file made anew; with `append` a link there fails the opening.
boost::system::error_code OpenOutputBelow(const HeldFolder& folder, const NativeString& relative, bool append,
                                          StreamedFile& output, std::uint64_t& size);
// All of `bytes`, at the end of the file.
boost::system::error_code WriteOutput(const StreamedFile& output, const char* bytes, std::size_t size);
// Closes the file once what it holds is where a power cut cannot take it: on Windows flushed
// to disk (FlushFileBuffers) and its downloaded-file zone mark removed; on POSIX left to the one
// flush of the whole file system (FlushFileSystemOf) that follows.
boost::system::error_code FinishOutput(StreamedFile& output, const NativeString& file);

// POSIX: one syncfs(2) of the file system that holds `directory`, so every file written there is
// on disk. Windows: nothing (each file was flushed as it was finished).
boost::system::error_code FlushFileSystemOf(const NativeString& directory);

// Whether `failure` says the disk or the user's quota is full.
bool DiskFull(const boost::system::error_code& failure);
