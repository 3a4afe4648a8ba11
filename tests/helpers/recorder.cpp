// A stand-in for the programs the loader starts (the main application, a staged loader, any
// program). Each run appends one line to the file named by VELMORA_RECORD:
//   tag <TAB> own path <TAB> working directory <TAB> argument count {<TAB> argument} <TAB> show
// with backslash, tab and line feed escaped as \\, \t and \n. "show" is the show command its
// starter asked for on Windows (the number, or "default" when none was set), "-" elsewhere. The tag is the first line of
// "tag.txt" beside the program, or "-" when there is none. Then it writes its process id and a line
// feed to the file VELMORA_PID_FILE names, if set, sleeps VELMORA_SLEEP_MS milliseconds and exits
// with VELMORA_EXIT_CODE (default 0).

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/text.hpp"

namespace {
std::string Escape(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\') escaped += "\\\\";
    else if (c == '\t') escaped += "\\t";
    else if (c == '\n') escaped += "\\n";
    else escaped += c;
  }
  return escaped;
}

std::string ReadTag(const std::filesystem::path& self) {
  std::ifstream file(self.parent_path() / "tag.txt");
  std::string tag;
  if (!std::getline(file, tag) || tag.empty()) return "-";
  return tag;
}

std::string StartupShowCommand() {
#ifdef _WIN32
  STARTUPINFOW startup{};
  GetStartupInfoW(&startup);
  return (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? std::to_string(startup.wShowWindow) : "default";
#else
  return "-";
#endif
}

long EnvironmentNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::strtol(text, nullptr, 10) : fallback;
}
}  // namespace

int RecorderMain(const std::vector<std::string>& arguments) {
  const std::filesystem::path self = OwnExecutablePath();
  std::string line = Escape(ReadTag(self)) + '\t' + Escape(PathToUtf8(self)) + '\t' +
                     Escape(PathToUtf8(std::filesystem::current_path())) + '\t' +
                     std::to_string(arguments.size());
  for (const std::string& argument : arguments) line += '\t' + Escape(argument);
  line += '\t' + StartupShowCommand();
  if (const char* record = std::getenv("VELMORA_RECORD")) {
    std::ofstream(Utf8ToPath(record), std::ios::app | std::ios::binary) << line << '\n';
  }
  if (const char* pidFile = std::getenv("VELMORA_PID_FILE")) {
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    std::ofstream(Utf8ToPath(pidFile), std::ios::binary) << pid << '\n';
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(EnvironmentNumber("VELMORA_SLEEP_MS", 0)));
  return static_cast<int>(EnvironmentNumber("VELMORA_EXIT_CODE", 0));
}

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(WideToUtf8(argv[i]));
  return RecorderMain(arguments);
}
#else
int main(int argc, char** argv) { return RecorderMain(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
