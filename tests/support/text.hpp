#pragma once
// Text and path conversions for tests: every text a test compares is UTF-8 (on Linux, the
// file system's own bytes).

#include <filesystem>
#include <string>

std::string PathToUtf8(const std::filesystem::path& path);
std::filesystem::path Utf8ToPath(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);

// The running test program's own file.
std::filesystem::path OwnExecutablePath();
