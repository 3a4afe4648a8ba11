#pragma once
// The publisher's keys: the public keys whose signatures an installation takes, each named by the
// SHA-256 of its DER SubjectPublicKeyInfo. One record is built into both programs; a newer one is
// taken only when a key of the one before signed it (key_chain.hpp). Pure: nothing here touches the
// disk.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/digest.hpp"

// The first line of every key record of this format.
inline constexpr char kKeyRecordFormat[] = "velmora-keys 1";
// A record names at least one key and at most this many, each once.
inline constexpr std::size_t kMostKeys = 16;
// Versions run from 1 to 2^31.
inline constexpr std::uint32_t kLastKeyVersion = 0x80000000u;

struct KeyRecord {
  std::string product;        // the product whose releases these keys sign
  std::uint32_t version = 0;  // 1 for the first record; each newer one the next number
  std::vector<Sha256> keys;   // each key's name: the SHA-256 of its DER SubjectPublicKeyInfo
};

// The record in `text`, or nullopt when it is not exactly of the form docs/updater.md gives:
// "velmora-keys 1", "product P", "version N", then 1 to 16 "key <64 lowercase hex digits>" lines
// (a key's name as `sha256sum` prints it), each key once, every line ended by a line feed, nothing
// else.
std::optional<KeyRecord> ParseKeyRecord(std::string_view text);

// The record as ParseKeyRecord reads it back.
std::string KeyRecordText(const KeyRecord& record);

// Whether `record` names the key whose SubjectPublicKeyInfo has the SHA-256 `key`.
bool PinsKey(const KeyRecord& record, const std::optional<Sha256>& key);

// The record this program was built with (VELMORA_PUBLISHER_KEYS): the anchor of every chain of
// records. A build without keys has none in it, and takes nothing signed.
KeyRecord BuiltInKeyRecord();
