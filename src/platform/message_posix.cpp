#include "platform/message.hpp"

#include <cstdio>

// Without a desktop to show a box on, the message goes to standard error under its caption.
void ShowErrorBox(const NativeString& text) {
  std::fprintf(stderr, "Velmora loader\n%s\n", text.c_str());
  std::fflush(stderr);
}
