// The loader's entry on Windows: a windowed program that opens no window.

#include <windows.h>

#include <boost/program_options/parsers.hpp>

#include "launcher/apply_mode.hpp"
#include "launcher/command_line.hpp"
#include "launcher/start_mode.hpp"

namespace {
// A staged loader runs from a folder that another program wrote: the libraries the shell and the
// window code load by name on its behalf must come from the system folder, never from beside it.
// Windows 7 without its 2011 loader update lacks the call; there the current folder at least
// leaves the search, while the program's own folder stays in it.
void LoadLibrariesFromTheSystemFolderOnly() {
  using SetDefaultDirectories = BOOL(WINAPI*)(DWORD);
  const auto restrict = reinterpret_cast<SetDefaultDirectories>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
  if (restrict == nullptr || !restrict(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryW(L"");
}
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLineTail, int) {
  LoadLibrariesFromTheSystemFolderOnly();
  const auto split = [commandLineTail] {
    return boost::program_options::split_winmain(std::wstring(commandLineTail));
  };
  return RunCommandLine(split, RunApplyMode, RunStartMode);
}
