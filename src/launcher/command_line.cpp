#include "launcher/command_line.hpp"

#include <algorithm>
#include <boost/program_options.hpp>
#include <iostream>
#include <type_traits>

#include "launcher/exit_codes.hpp"

namespace po = boost::program_options;

namespace {
// The caption and the help description, in GBK. The option set is never printed.
const char kCaption[] = "\xB2\xE2\xCA\xD4\xB3\xCC\xD0\xF2";
const char kHelpDescription[] = "\xB4\xF2\xD3\xA1\xB0\xEF\xD6\xFA\xCE\xC4\xB5\xB5";

// Process ids are 32 bits: unsigned long is that wide on Windows, but 64 bits on Linux.
using ProcessIdValue = std::conditional_t<sizeof(unsigned long) == 4, unsigned long, std::uint32_t>;

// Wide text must be read by a wide value: a narrow one would hold UTF-8.
template <class Char>
po::typed_value<std::basic_string<Char>, Char>* TextValue() {
  if constexpr (std::is_same_v<Char, wchar_t>) {
    return po::wvalue<std::basic_string<Char>>();
  } else {
    return po::value<std::basic_string<Char>>();
  }
}

// The library's unsigned conversion would take "-1" as 4294967295 and "+7" as 7: a process id
// is plain decimal digits, and the range is left to the conversion.
void RequirePlainDecimalProcessIds(const po::basic_parsed_options<NativeChar>& parsed) {
  for (const po::basic_option<NativeChar>& option : parsed.options) {
    if (option.string_key != "pid" || option.value.size() != 1) continue;
    const NativeString& word = option.value.front();
    if (std::all_of(word.begin(), word.end(), [](NativeChar c) { return c >= '0' && c <= '9'; })) continue;
    po::invalid_option_value rejection(word);
    rejection.add_context("pid", "", po::command_line_style::allow_long);
    throw rejection;
  }
}
}  // namespace

int RunCommandLine(const SplitArguments& split, const ApplyMode& applyMode, const StartMode& startMode) {
  std::vector<NativeString> arguments;
  po::variables_map values;
  try {
    po::options_description options(kCaption);
    options.add_options()
        ("help,h", kHelpDescription)
        ("ad", TextValue<NativeChar>())
        ("pid", po::value<ProcessIdValue>());
    arguments = split();
    po::basic_command_line_parser<NativeChar> parser(arguments);
    const po::basic_parsed_options<NativeChar> parsed =
        parser.options(options).allow_unregistered().run();
    RequirePlainDecimalProcessIds(parsed);
    po::store(parsed, values);
    po::notify(values);
  } catch (const po::error_with_option_name& rejection) {
    // Its what() puts the offending text in place of the message's placeholders until none is
    // left, so a '%' in that text, as in "%value%", could keep it going for ever.
    const bool placeholderLike = std::any_of(arguments.begin(), arguments.end(), [](const NativeString& word) {
      return word.find(NativeChar('%')) != NativeString::npos;
    });
    if (placeholderLike) {
      std::cerr << "invalid command line at option '" << rejection.get_option_name() << "'\n";
    } else {
      std::cerr << rejection.what() << '\n';
    }
    return kExitRejected;
  } catch (const po::error& rejection) {
    std::cerr << rejection.what() << '\n';
    return kExitRejected;
  }

  if (values.count("help") != 0) return kExitHelp;
  try {
    if (values.count("ad") != 0) {
      const NativeString& installDirectory = values["ad"].as<NativeString>();
      std::optional<std::uint32_t> processId;
      if (values.count("pid") != 0) processId = values["pid"].as<ProcessIdValue>();
      return applyMode(installDirectory, processId);
    }
    return startMode();
  } catch (const std::exception& unexpected) {
    std::cerr << "unexpected error: " << unexpected.what() << '\n';
    return kExitInternalError;
  }
}
