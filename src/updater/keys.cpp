#include <boost/filesystem/operations.hpp>

#include "launcher/key_chain.hpp"
#include "launcher/layout.hpp"
#include "launcher/run_log.hpp"
#include "platform/signed_feed.hpp"
#include "updater/run.hpp"

namespace fs = boost::filesystem;
using boost::system::error_code;

namespace {
// Records fetched in one run at most: a vendor rotates a key a year, not sixteen.
constexpr int kMostRecordsARun = 16;
// Far beyond a record of sixteen keys and its signature.
constexpr std::uint64_t kLargestSignedRecord = 64 * 1024;

std::string RecordText(const KeyRecord& record) {
  return "version " + std::to_string(record.version) + ", " + std::to_string(record.keys.size()) +
         (record.keys.size() == 1 ? " key" : " keys");
}

// Why a record was not taken, for the log.
std::string FaultText(const RecordAnswer& answer, const KeyRecord& current) {
  switch (answer.fault) {
    case RecordFault::kSignature:
      switch (answer.origin.step) {
        case OriginStep::kManifestKey:
          return "not signed by a key of version " + std::to_string(current.version);
        case OriginStep::kManifestDigest:
          return "changed after signing";
        case OriginStep::kManifestSigners:
          return "not signed by exactly one signer";
        default:
          return "its signature does not verify";
      }
    case RecordFault::kMalformed:
      return std::string("not a record of the form ") + kKeyRecordFormat;
    case RecordFault::kProduct:
      return "of another product than " + current.product;
    case RecordFault::kVersion:
      return "not of version " + std::to_string(current.version + 1);
    case RecordFault::kNone:
      break;
  }
  return "taken";
}
}  // namespace

void ReadKeys(Run& run) {
  const KeyRecord builtIn = BuiltInKeyRecord();
  if (builtIn.keys.empty()) {
    Fail(kUpdateFeedRefused, "feed refused",
         "feed refused: this updater was built without its publisher's keys: it takes no feed");
  }
  run.keys = CurrentKeyRecord(builtIn, KeyRecordsDirectory(run.install), VerifySignedRecord);
  LogLine("trust: the publisher's keys of " + RecordText(run.keys) +
          (run.keys.version == builtIn.version ? ", built in" : ", taken after the one built in"));
}

bool FetchKeyRecords(Run& run, std::optional<std::uint32_t> upTo) {
  bool taken = false;
  for (int count = 0; count < kMostRecordsARun && run.keys.version < kLastKeyVersion &&
                      (!upTo || run.keys.version < *upTo);
       ++count) {
    const std::uint32_t version = run.keys.version + 1;
    const std::string relative = "keys/" + std::to_string(version) + ".keys";
    std::string bytes;
    const Got got = Request(run, relative, {}, kLargestSignedRecord, [&](HttpMeaning, const char* data, std::size_t size) {
      bytes.append(data, size);
      return true;
    });
    // The tree holds no newer record: the chain ends here.
    if (!got.error && !got.tooLong && got.meaning == HttpMeaning::kMissing) break;
    if (got.error || (got.meaning != HttpMeaning::kBody && !got.tooLong)) FailFetching(run, relative, got);
    const SignedMessage message = VerifySignedRecord(bytes);
    Sha256 digest{};
    if (got.tooLong || !Sha256OfBytes(message.content, digest)) {
      LogLine("key record " + Where(run, relative) + " refused: it is larger than 64 KiB, or unreadable");
      break;
    }
    const RecordAnswer answer = JudgeKeyRecord(run.keys, message, digest);
    if (answer.fault != RecordFault::kNone) {
      LogLine("key record " + Where(run, relative) + " refused: " + FaultText(answer, run.keys));
      break;
    }
    const fs::path directory = KeyRecordsDirectory(run.install);
    // Made below the held data folder: never through a link at its name.
    OwnFolder(run, directory);
    WriteWhole(KeptKeyRecord(directory, version), bytes);
    run.keys = answer.record;
    LogLine("key record " + Where(run, relative) + " taken: the publisher's keys of " + RecordText(run.keys));
    taken = true;
  }
  return taken;
}
