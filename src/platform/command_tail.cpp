#include "platform/command_tail.hpp"

#include <cctype>

namespace {
bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
}  // namespace

std::vector<std::string> SplitCommandTail(const std::string& tail) {
  std::vector<std::string> arguments;
  auto it = tail.begin();
  while (it != tail.end() && IsBlank(*it)) ++it;
  if (it == tail.end()) return arguments;

  std::string current;
  bool quoted = false;
  bool emptyQuote = false;  // "" seen with nothing else in the argument yet
  std::size_t backslashes = 0;
  for (; it != tail.end(); ++it) {
    if (*it == '\\') {
      ++backslashes;
      continue;
    }
    if (*it == '"') {
      current.append(backslashes / 2, '\\');
      if (backslashes % 2 == 0) {
        emptyQuote = quoted && current.empty();
        quoted = !quoted;
      } else {
        current += '"';
      }
      backslashes = 0;
      continue;
    }
    current.append(backslashes, '\\');
    backslashes = 0;
    if (IsBlank(*it) && !quoted) {
      arguments.push_back(current);
      current.clear();
      emptyQuote = false;
      while (it + 1 != tail.end() && IsBlank(*(it + 1))) ++it;
    } else {
      current += *it;
    }
  }
  current.append(backslashes, '\\');
  if (!current.empty() || quoted || emptyQuote) arguments.push_back(current);
  return arguments;
}

NativeString QuotedArgumentBody(const NativeString& text) {
  NativeString body;
  std::size_t backslashes = 0;
  for (const NativeChar c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    body.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    body.push_back(c);
  }
  body.append(backslashes * 2, '\\');
  return body;
}
