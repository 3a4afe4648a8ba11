#include "support/text.hpp"


std::string PathToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::filesystem::path Utf8ToPath(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string WideToUtf8(const std::wstring& text) { return PathToUtf8(std::filesystem::path(text)); }

std::wstring Utf8ToWide(const std::string& text) { return Utf8ToPath(text).wstring(); }
