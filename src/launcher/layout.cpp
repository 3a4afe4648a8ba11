#include "launcher/layout.hpp"

#include <boost/format.hpp>

namespace {
// The text between the quotes, escaped by the command-line rules: backslashes double only where
// they precede a quote or the closing quote, and a quote gets a backslash. A Windows directory
// holds no quote and never ends in a backslash, so there the text goes in unchanged.
NativeString QuotedArgumentBody(const NativeString& text) {
  NativeString body;
  std::size_t backslashes = 0;
  for (const NativeChar c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      body.append(backslashes * 2 + 1, '\\');
    } else {
      body.append(backslashes, '\\');
    }
    backslashes = 0;
    body.push_back(c);
  }
  body.append(backslashes * 2, '\\');
  return body;
}
}  // namespace

fs::path Join(const fs::path& base, const char* name) {
  fs::path joined = base;
  joined /= name;
  return joined;
}

NativeString HandOverParameters(const NativeString& installDirectory) {
  boost::basic_format<NativeChar> parameters(NativeFromAscii("--ad \"%1%\""));
  parameters % QuotedArgumentBody(installDirectory);
  return parameters.str();
}

NativeString FailureMessage(const char* format, const fs::path& first) {
  boost::basic_format<NativeChar> message(NativeFromAscii(format));
  message % first.native();
  return message.str();
}

NativeString FailureMessage(const char* format, const fs::path& first, const fs::path& second) {
  boost::basic_format<NativeChar> message(NativeFromAscii(format));
  message % first.native() % second.native();
  return message.str();
}
