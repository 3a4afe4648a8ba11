#pragma once
// Text for tests: every text a test compares is UTF-8 (on Linux, the file system's own bytes),
// and files are read and written as bytes.

#include <filesystem>
#include <string>

std::string PathToUtf8(const std::filesystem::path& path);
std::filesystem::path Utf8ToPath(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);

// The whole file; empty when it cannot be read.
std::string ReadText(const std::filesystem::path& file);
void WriteText(const std::filesystem::path& file, const std::string& text);
