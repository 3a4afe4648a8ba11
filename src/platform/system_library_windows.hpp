#pragma once

#include <windows.h>

// A function of a library that ships with Windows, loaded from the system folder at each call.
// Only the runs that show a box or hand over need the shell or the window libraries: a plain
// start does without loading them.
template <typename Function>
Function SystemLibraryFunction(const wchar_t* library, const char* name) {
  const HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
