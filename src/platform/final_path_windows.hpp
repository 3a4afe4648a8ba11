#pragma once

#include <windows.h>

#include <string>
#include <vector>

// `path` as the system names it once links, short names and letter case are resolved, in the
// system's own form ("\\?\C:\...", "\\?\UNC\server\..."); empty when it cannot be opened.
inline std::wstring SystemFinalPathOf(const std::wstring& path) {
  const HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  std::vector<wchar_t> buffer(0x8000);
  const DWORD length =
      GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
  CloseHandle(handle);
  if (length == 0 || length >= buffer.size()) return {};
  return std::wstring(buffer.data(), length);
}

// The same in the form in which the system reports a process's program: "C:\...", "\\server\...".
inline std::wstring FinalPathOf(const std::wstring& path) {
  const std::wstring final = SystemFinalPathOf(path);
  if (final.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + final.substr(8);
  if (final.rfind(L"\\\\?\\", 0) == 0) return final.substr(4);
  return final;
}
