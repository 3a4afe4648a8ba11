#include "platform/log.hpp"

#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/file_tree.hpp"

namespace {
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// Appending access without writing access: every write lands at the end, whole, whoever else
// appends. Shared for reading, writing and deleting, so that a reader, another run or a rotation
// is never kept out; the link itself is opened, never what it points to. By its verbatim path,
// which has no length limit.
HANDLE OpenPlainFile(const std::wstring& file, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE handle = CreateFileW(VerbatimPath(file).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks != 1) {
    CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// The name in the form a rename through a handle takes: the system's own ("\??\C:\..."), made
// whole first (an install path given on the command line may hold "..", "/" or be relative).
std::wstring SystemName(std::wstring file) {
  if (file.rfind(L"\\\\?\\", 0) != 0) {
    std::wstring full(GetFullPathNameW(file.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length =
        full.empty() ? 0 : GetFullPathNameW(file.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length > 0 && length < full.size()) file.assign(full, 0, length);
  }
  if (file.rfind(L"\\\\?\\", 0) == 0) return L"\\??\\" + file.substr(4);
  if (file.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + file.substr(2);
  return L"\\??\\" + file;
}

// The file this run opened is moved, through a handle of its own, whatever the name names by now:
// a second run rotating the same file moves the previous generation onto itself, which changes
// nothing.
void Rotate(const std::wstring& file, HANDLE opened, std::uint64_t size) {
  const HANDLE mover = ReOpenFile(opened, DELETE, kShareAll, 0);
  if (mover == INVALID_HANDLE_VALUE) return;
  const std::wstring target = SystemName(PreviousLogGeneration(file));
  const DWORD nameBytes = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes, 0);
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = nameBytes;
  std::memcpy(rename->FileName, target.data(), nameBytes);
  if (SetFileInformationByHandle(mover, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) &&
      size > kLogKeepAtMost) {
    FILE_DISPOSITION_INFO remove{TRUE};
    SetFileInformationByHandle(mover, FileDispositionInfo, &remove, sizeof remove);
  }
  CloseHandle(mover);
}
}  // namespace

bool AppendLogLine(const NativeString& file, const std::string& line, bool firstOfRun) {
  BY_HANDLE_FILE_INFORMATION info;
  HANDLE handle = OpenPlainFile(file, info);
  if (handle == INVALID_HANDLE_VALUE) return false;
  if (firstOfRun) {
    const std::wstring previous = VerbatimPath(PreviousLogGeneration(file));
    WIN32_FILE_ATTRIBUTE_DATA old;
    if (GetFileAttributesExW(previous.c_str(), GetFileExInfoStandard, &old) &&
        (old.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        ((static_cast<std::uint64_t>(old.nFileSizeHigh) << 32) | old.nFileSizeLow) > kLogKeepAtMost) {
      DeleteFileW(previous.c_str());
    }
  }
  if (SizeOf(info) >= kLogRotateAt) {
    Rotate(file, handle, SizeOf(info));
    CloseHandle(handle);
    handle = OpenPlainFile(file, info);
    if (handle == INVALID_HANDLE_VALUE) return false;
  }
  bool written = false;
  if (SizeOf(info) < kLogKeepAtMost) {
    DWORD count = 0;
    written = WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &count, nullptr) != 0 &&
              count == line.size();
  }
  CloseHandle(handle);
  return written;
}

std::uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

boost::system::error_code ReadLog(const NativeString& file, std::string& bytes) {
  using boost::system::errc::make_error_code;
  bytes.clear();
  const HANDLE handle = CreateFileW(VerbatimPath(file).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_PATH_NOT_FOUND) {
      return make_error_code(boost::system::errc::no_such_file_or_directory);
    }
    return {static_cast<int>(failure), boost::system::system_category()};
  }
  BY_HANDLE_FILE_INFORMATION info{};
  DWORD failure = GetFileInformationByHandle(handle, &info) ? 0 : GetLastError();
  if (failure == 0 && ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
                       SizeOf(info) > 2 * kLogKeepAtMost)) {
    CloseHandle(handle);
    return make_error_code(boost::system::errc::invalid_argument);
  }
  char buffer[1 << 14];
  while (failure == 0) {
    DWORD count = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &count, nullptr)) failure = GetLastError();
    if (failure != 0 || count == 0) break;
    bytes.append(buffer, count);
  }
  CloseHandle(handle);
  return {static_cast<int>(failure), boost::system::system_category()};
}
