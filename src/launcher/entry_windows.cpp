// The loader's entry on Windows: a windowed program that opens no window.

#include <windows.h>

#include <boost/program_options/parsers.hpp>

#include "launcher/apply_mode.hpp"
#include "launcher/command_line.hpp"
#include "launcher/start_mode.hpp"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLineTail, int) {
  const auto split = [commandLineTail] {
    return boost::program_options::split_winmain(std::wstring(commandLineTail));
  };
  return RunCommandLine(split, RunApplyMode, RunStartMode);
}
