#include "platform/message.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {
bool InGraphicalSession() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Runs the program named by the first word, found on PATH, and waits until it ends. False when
// it could not be started.
bool RunAndWait(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

// The dialog's text is taken for markup when its first line looks like it; marked up on purpose,
// with every special character escaped and the line breaks and blanks kept, it shows as written.
std::string LiteralRichText(const std::string& text) {
  std::string escaped = "<qt><p style=\"white-space:pre-wrap\">";
  for (const char c : text) {
    if (c == '&') escaped += "&amp;";
    else if (c == '<') escaped += "&lt;";
    else if (c == '>') escaped += "&gt;";
    else escaped += c;
  }
  return escaped + "</p></qt>";
}
}  // namespace

// Standard error always gets the message; in a graphical session a dialog shows it as well, and,
// like the box on Windows, the run goes on once it has been closed.
void ShowErrorBox(const NativeString& text) {
  std::fprintf(stderr, "Velmora loader\n%s\n", text.c_str());
  std::fflush(stderr);
  if (!InGraphicalSession()) return;
  if (RunAndWait({"zenity", "--error", "--no-markup", "--title=Velmora loader", "--text=" + text})) return;
  RunAndWait({"kdialog", "--title", "Velmora loader", "--error", LiteralRichText(text)});
}
