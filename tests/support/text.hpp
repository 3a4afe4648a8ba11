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

// The same for a file or folder whose name Windows would read as something else (a device name,
// a trailing dot or blank, a colon): made by its verbatim path there, as any other elsewhere.
void WriteTextExactly(const std::filesystem::path& file, const std::string& text);
void CreateFolderExactly(const std::filesystem::path& folder);
// Removes `root` and everything below it, each name taken as it is; false when something stays.
bool RemoveTreeExactly(const std::filesystem::path& root);
