#include "support/text.hpp"

#include <fstream>
#include <sstream>

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
