// The least a loader can do in start mode: start a program with a working directory and wait
// for it. Nothing else runs, so it is the floor the loader's start is measured against.
//   spawn_floor.exe PROGRAM WORKING_DIRECTORY
// Exits with the program's exit code, or 127 when it could not be started.

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 127;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(argv[1], nullptr, nullptr, nullptr, FALSE, 0, nullptr, argv[2], &startup, &process)) {
    return 127;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 127;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
