#include "platform/process.hpp"

#include "platform/command_tail.hpp"

NativeString ModuleDirectoryOf(const NativeString& modulePath) {
  const std::size_t separator = modulePath.rfind(boost::filesystem::path::preferred_separator);
  if (separator == NativeString::npos) return {};
  // Without its separator a root would be "C:" or nothing: the current directory of that drive,
  // or of the process.
  const bool root = separator == 0 || modulePath[separator - 1] == ':';
  return modulePath.substr(0, root ? separator + 1 : separator);
}

NativeString ProgramCommandLine(const NativeString& program) {
  return NativeFromAscii("\"") + QuotedArgumentBody(program) + NativeFromAscii("\"");
}

NativeString GetModuleDirectory() { return ModuleDirectoryOf(GetModulePath()); }

std::vector<RunningProgram> FoundPrograms(const std::vector<NativeString>& places,
                                          const std::vector<NativeString>& programs) {
  std::vector<RunningProgram> found;
  for (std::size_t i = 0; i < places.size(); ++i) {
    if (!programs[i].empty()) found.push_back({places[i], programs[i]});
  }
  return found;
}
