#include "support/text.hpp"

#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>

#include "platform/file_tree.hpp"
#endif

std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::filesystem::path Utf8ToPath(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string WideToUtf8(const std::wstring& text) { return PathToUtf8(std::filesystem::path(text)); }

std::wstring Utf8ToWide(const std::string& text) { return Utf8ToPath(text).wstring(); }

std::string ReadText(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

void WriteText(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

#ifdef _WIN32
void WriteTextExactly(const std::filesystem::path& file, const std::string& text) {
  const HANDLE handle = CreateFileW(VerbatimPath(file.native()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (handle != INVALID_HANDLE_VALUE) WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
}

void CreateFolderExactly(const std::filesystem::path& folder) {
  CreateDirectoryW(VerbatimPath(folder.native()).c_str(), nullptr);
}

bool RemoveTreeExactly(const std::filesystem::path& root) {
  const std::wstring verbatim = VerbatimPath(root.native());
  const DWORD attributes = GetFileAttributesW(verbatim.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    SetFileAttributesW(verbatim.c_str(), FILE_ATTRIBUTE_NORMAL);
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return folder ? RemoveDirectoryW(verbatim.c_str()) : DeleteFileW(verbatim.c_str());
  }
  bool removed = true;
  WIN32_FIND_DATAW found;
  const HANDLE listing = FindFirstFileW((verbatim + L"\\*").c_str(), &found);
  if (listing != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      removed = RemoveTreeExactly(std::filesystem::path(verbatim + L"\\" + name)) && removed;
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
  }
  return RemoveDirectoryW(verbatim.c_str()) && removed;
}
#else
void WriteTextExactly(const std::filesystem::path& file, const std::string& text) { WriteText(file, text); }

void CreateFolderExactly(const std::filesystem::path& folder) { std::filesystem::create_directory(folder); }

bool RemoveTreeExactly(const std::filesystem::path& root) {
  std::error_code error;
  std::filesystem::remove_all(root, error);
  return !error;
}
#endif
