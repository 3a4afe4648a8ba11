#include "platform/message.hpp"

#include <windows.h>

void ShowErrorBox(const NativeString& text) {
  MessageBoxW(nullptr, text.c_str(), L"Velmora loader", MB_OK);
}
