#include "platform/program_header.hpp"

#include <windows.h>

boost::system::error_code ReadProgramHeader(const NativeString& program, std::string& header) {
  header.assign(kProgramHeaderBytes, '\0');
  const HANDLE file = CreateFileW(program.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD count = 0;
  DWORD failure = 0;
  if (file == INVALID_HANDLE_VALUE || !ReadFile(file, header.data(), static_cast<DWORD>(header.size()), &count, nullptr)) {
    failure = GetLastError();
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  header.resize(count);
  return {static_cast<int>(failure), boost::system::system_category()};
}
