#include "platform/message.hpp"

#include <windows.h>

#include "platform/system_library_windows.hpp"

void ShowErrorBox(const NativeString& text) {
  const auto messageBox = SystemLibraryFunction<decltype(&MessageBoxW)>(L"user32.dll", "MessageBoxW");
  if (messageBox != nullptr) messageBox(nullptr, text.c_str(), L"Velmora loader", MB_OK);
}
