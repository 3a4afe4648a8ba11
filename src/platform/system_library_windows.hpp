#pragma once

#include <windows.h>

#include <string>

// A function of a library that ships with Windows, loaded from the system folder at each call.
// Only the runs that show a box or hand over need the shell or the window libraries: a plain
// start does without loading them.
template <typename Function>
Function SystemLibraryFunction(const wchar_t* library, const char* name) {
  HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Windows 7 without its 2011 loader update knows no search flags: name the file in full instead.
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    wchar_t directory[MAX_PATH];
    const UINT length = GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    module = LoadLibraryW((std::wstring(directory, length) + L"\\" + library).c_str());
  }
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Looks `name` up in `library` into `function`; the first failure of a series of lookups stays in
// `failure` (0 while every one was found). Each service lists the functions it calls once, by the
// names they are declared with, and looks them all up at its first use.
template <typename Function>
void LookUpSystemFunction(const wchar_t* library, const char* name, Function& function, DWORD& failure) {
  function = SystemLibraryFunction<Function>(library, name);
  if (function != nullptr || failure != 0) return;
  failure = GetLastError();
  if (failure == 0) failure = ERROR_PROC_NOT_FOUND;
}
