#include "platform/file_stream.hpp"

#include <windows.h>

#include <boost/filesystem/exception.hpp>

#include "platform/final_path_windows.hpp"
#include "platform/held_folder_windows.hpp"

namespace {
boost::system::error_code LastError() {
  return {static_cast<int>(GetLastError()), boost::system::system_category()};
}

StreamedFile Held(HANDLE handle) {
  return StreamedFile(new HANDLE(handle), [](void* held) {
    if (*static_cast<HANDLE*>(held) != INVALID_HANDLE_VALUE) CloseHandle(*static_cast<HANDLE*>(held));
    delete static_cast<HANDLE*>(held);
  });
}

HANDLE& HandleOf(const StreamedFile& file) { return *static_cast<HANDLE*>(file.get()); }

// A plain file's handle and length; a link (a reparse point of any kind) or a folder is refused.
boost::system::error_code Opened(HANDLE handle, StreamedFile& file, std::uint64_t& size) {
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(handle, &information)) {
    const boost::system::error_code error = LastError();
    CloseHandle(handle);
    return error;
  }
  if ((information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    CloseHandle(handle);
    return {ERROR_INVALID_PARAMETER, boost::system::system_category()};
  }
  file = Held(handle);
  size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
  return {};
}
}  // namespace

// Shared with writers and deleters: an installed program may be running, a log being written.
// Every file is opened by its verbatim path, which has no length limit.
boost::system::error_code OpenInput(const NativeString& file, StreamedFile& input, std::uint64_t& size) {
  return Opened(CreateFileW(VerbatimPath(file).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr),
                input, size);
}

boost::system::error_code ReadInput(const StreamedFile& input, char* buffer, std::size_t capacity, std::size_t& count) {
  DWORD read = 0;
  if (!ReadFile(HandleOf(input), buffer, static_cast<DWORD>(std::min<std::size_t>(capacity, 1u << 30)), &read, nullptr)) {
    return LastError();
  }
  count = read;
  return {};
}

boost::system::error_code OpenOutput(const NativeString& file, bool append, StreamedFile& output, std::uint64_t& size) {
  const boost::system::error_code error =
      Opened(CreateFileW(VerbatimPath(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
             output, size);
  if (error) return error;
  LARGE_INTEGER end{};
  if (append && !SetFilePointerEx(HandleOf(output), end, nullptr, FILE_END)) return LastError();
  return {};
}

boost::system::error_code OpenOutputBelow(const HeldFolder& folder, const NativeString& relative, bool append,
                                          StreamedFile& output, std::uint64_t& size) {
  FoldersOnTheWay way;
  std::wstring full;
  if (const boost::system::error_code error = WalkBelow(folder, relative, false, way, full)) return error;
  const auto linkInTheWay = [] { return make_error_code(boost::system::errc::too_many_symbolic_link_levels); };
  if (!append) {
    // Whatever stands at the name goes first, a link as the link: a new file is then made where
    // nothing stands, never through a link.
    PathKind kind = PathKind::kAbsent;
    if (const boost::system::error_code error = KindOfPath(boost::filesystem::path(full), kind)) return error;
    if (kind == PathKind::kFolder) return make_error_code(boost::system::errc::is_a_directory);
    try {
      const bool left = kind != PathKind::kAbsent && RemoveTree(boost::filesystem::path(full)).outcome != Removed::kAll;
      if (left) return linkInTheWay();
    } catch (const boost::filesystem::filesystem_error& failure) {
      return failure.code();
    }
  }
  const auto open = [&](DWORD disposition) {
    return CreateFileW(full.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  };
  // Under Wine a new file opened through a dangling Unix link would be made at its target: a file
  // is made only where nothing stands (CREATE_NEW, which a link at the name fails).
  HANDLE handle = append ? open(OPEN_EXISTING) : INVALID_HANDLE_VALUE;
  if (handle == INVALID_HANDLE_VALUE && (!append || GetLastError() == ERROR_FILE_NOT_FOUND)) handle = open(CREATE_NEW);
  if (handle != INVALID_HANDLE_VALUE && (IsLink(handle) || !SamePath(FinalPathOfHandle(handle, full), full))) {
    CloseHandle(handle);
    return linkInTheWay();
  }
  if (const boost::system::error_code error = Opened(handle, output, size)) return error;
  LARGE_INTEGER end{};
  if (append && !SetFilePointerEx(HandleOf(output), end, nullptr, FILE_END)) return LastError();
  return {};
}

boost::system::error_code WriteOutput(const StreamedFile& output, const char* bytes, std::size_t size) {
  while (size > 0) {
    DWORD written = 0;
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!WriteFile(HandleOf(output), bytes, part, &written, nullptr)) return LastError();
    bytes += written;
    size -= written;
  }
  return {};
}

// Flushed one by one: Windows has no flush of a whole volume that a user may ask for.
boost::system::error_code FinishOutput(StreamedFile& output, const NativeString& file) {
  HANDLE& handle = HandleOf(output);
  const boost::system::error_code error = FlushFileBuffers(handle) ? boost::system::error_code() : LastError();
  CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
  output.reset();
  // A downloaded file's zone mark makes the shell ask before it runs one; the updater's own writes
  // carry none, but a copy of a marked file or a scanner may have added one.
  if (!DeleteFileW((VerbatimPath(file) + L":Zone.Identifier").c_str())) {
    const DWORD failure = GetLastError();
    if (!error && failure != ERROR_FILE_NOT_FOUND && failure != ERROR_PATH_NOT_FOUND) {
      return {static_cast<int>(failure), boost::system::system_category()};
    }
  }
  return error;
}

boost::system::error_code FlushFileSystemOf(const NativeString&) { return {}; }

bool DiskFull(const boost::system::error_code& failure) {
  return failure.category() == boost::system::system_category() &&
         (failure.value() == ERROR_DISK_FULL || failure.value() == ERROR_HANDLE_DISK_FULL);
}
