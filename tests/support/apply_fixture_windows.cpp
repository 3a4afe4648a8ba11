#include "support/apply_fixture.hpp"

#include <windows.h>

#include <string>

#include "support/running.hpp"

namespace fs = std::filesystem;

std::vector<std::uint32_t> ProcessesRunningBelow(const fs::path& directory) {
  const std::wstring prefix = directory.wstring() + L"\\";
  // File names on Windows are compared without regard to case.
  return ProcessesWhose([&](const fs::path& image) {
    const std::wstring& text = image.native();
    return text.size() > prefix.size() &&
           CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
  });
}

// Wine starts its desktop process on first use, hands it the standard error of the program that
// needed it, and keeps it for the whole session. Started by a loader under test, it would hold that
// run's capture file open, and the sandbox could not be removed. Start it from here, handing it no
// standard error.
void StartDesktop() {
  const HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_ERROR_HANDLE, nullptr);
  GetDesktopWindow();
  SetStdHandle(STD_ERROR_HANDLE, errors);
}
