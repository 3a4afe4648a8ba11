// The records, the one built in and their chain (key_record.hpp, key_chain.hpp) in one file: the
// loader links all of it, and every file costs it a little of its own. A test program is built with
// another record by compiling this file with another publisher_keys.hpp.
#include "launcher/key_record.hpp"

#include <algorithm>

#include "launcher/key_chain.hpp"
#include "launcher/layout.hpp"
#include "platform/file_ops.hpp"
#include "publisher_keys.hpp"

namespace {
// Far beyond a record of sixteen keys and its signature.
constexpr std::uintmax_t kLargestSignedRecord = 64 * 1024;

// The value after "key " on `line`; nullopt when it holds another key or no value.
std::optional<std::string_view> Value(std::string_view line, std::string_view key) {
  if (line.size() <= key.size() + 1 || line.substr(0, key.size()) != key || line[key.size()] != ' ') return std::nullopt;
  return line.substr(key.size() + 1);
}

// A number of at most `digits` plain decimal digits, without a leading zero.
std::optional<std::uint64_t> Decimal(std::string_view text, std::size_t digits) {
  if (text.empty() || text.size() > digits || text[0] == '0') return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

// 64 lowercase hex digits.
std::optional<Sha256> Digest(std::string_view hex) {
  Sha256 digest{};
  if (hex.size() != 2 * digest.size()) return std::nullopt;
  for (std::size_t i = 0; i < hex.size(); ++i) {
    const char c = hex[i];
    const int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (nibble < 0) return std::nullopt;
    digest[i / 2] = static_cast<std::uint8_t>(digest[i / 2] << 4 | nibble);
  }
  return digest;
}

// A product's name: 1 to 64 of a-z, 0-9, '.', '_', '-', as a channel's.
bool ValidProduct(std::string_view product) {
  return !product.empty() && product.size() <= 64 && std::all_of(product.begin(), product.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
  });
}
}  // namespace

std::optional<KeyRecord> ParseKeyRecord(std::string_view text) {
  KeyRecord record;
  for (std::size_t number = 0; !text.empty(); ++number) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (number == 0) {
      if (line != kKeyRecordFormat) return std::nullopt;
    } else if (number == 1) {
      const auto product = Value(line, "product");
      if (!product || !ValidProduct(*product)) return std::nullopt;
      record.product = std::string(*product);
    } else if (number == 2) {
      const auto version = Value(line, "version");
      const auto value = version ? Decimal(*version, 10) : std::nullopt;
      if (!value || *value > kLastKeyVersion) return std::nullopt;
      record.version = static_cast<std::uint32_t>(*value);
    } else {
      const auto hex = Value(line, "key");
      const auto key = hex ? Digest(*hex) : std::nullopt;
      if (!key || record.keys.size() == kMostKeys || PinsKey(record, key)) return std::nullopt;
      record.keys.push_back(*key);
    }
  }
  if (record.keys.empty()) return std::nullopt;
  return record;
}

KeyRecord BuiltInKeyRecord() {
  KeyRecord record;
  record.product = kBuiltInKeysProduct;
  record.version = kBuiltInKeysVersion;
  record.keys.assign(kBuiltInKeys.begin(), kBuiltInKeys.end());
  return record;
}

bool PinsKey(const KeyRecord& record, const std::optional<Sha256>& key) {
  return key && std::find(record.keys.begin(), record.keys.end(), *key) != record.keys.end();
}

RecordAnswer JudgeKeyRecord(const KeyRecord& current, const SignedMessage& message, const Sha256& contentDigest) {
  RecordAnswer answer;
  answer.origin = JudgePinnedSignature(message, contentDigest, current);
  if (answer.origin.step != OriginStep::kPassed) {
    answer.fault = RecordFault::kSignature;
    return answer;
  }
  const std::optional<KeyRecord> record = ParseKeyRecord(message.content);
  if (!record) {
    answer.fault = RecordFault::kMalformed;
  } else if (record->product != current.product) {
    answer.fault = RecordFault::kProduct;
  } else if (current.version == kLastKeyVersion || record->version != current.version + 1) {
    answer.fault = RecordFault::kVersion;
  } else {
    answer.record = *record;
  }
  return answer;
}

boost::filesystem::path KeptKeyRecord(const boost::filesystem::path& keysDirectory, std::uint32_t version) {
  return Join(keysDirectory, (std::to_string(version) + ".keys").c_str());
}

KeyRecord CurrentKeyRecord(const KeyRecord& builtIn, const boost::filesystem::path& keysDirectory,
                           const VerifySigned& verify) {
  KeyRecord current = builtIn;
  while (current.version < kLastKeyVersion) {
    std::string bytes;
    if (ReadWholeFile(KeptKeyRecord(keysDirectory, current.version + 1).native(), kLargestSignedRecord, bytes)) break;
    const SignedMessage message = verify(bytes);
    Sha256 digest{};
    if (!Sha256OfBytes(message.content, digest)) break;
    const RecordAnswer answer = JudgeKeyRecord(current, message, digest);
    if (answer.fault != RecordFault::kNone) break;
    current = answer.record;
  }
  return current;
}

KeyRecord InstallationKeys(const boost::filesystem::path& installDirectory) {
  return CurrentKeyRecord(BuiltInKeyRecord(), KeyRecordsDirectory(installDirectory), [](const std::string& bytes) {
    return VerifySignedMessage(bytes, nullptr, ChainRetrieval::kCacheOnly);
  });
}
