#pragma once
// Text in the platform's native form for paths and command lines: UTF-16 on Windows, bytes on POSIX.

#include <boost/filesystem/path.hpp>

using NativeChar = boost::filesystem::path::value_type;
using NativeString = boost::filesystem::path::string_type;

// Widens ASCII text character by character; fixed names and formats are ASCII on every platform.
inline NativeString NativeFromAscii(const char* ascii) {
  NativeString text;
  for (; *ascii != '\0'; ++ascii) text.push_back(static_cast<NativeChar>(*ascii));
  return text;
}
