#pragma once
// The chain of key records: the one built in, then each newer record an installation keeps in
// data/velmora-update.keys/<version>.keys, each taken only when a key of the one before signed it.
// The last of the unbroken chain is the current record, whose keys alone sign what both programs
// take; a key it no longer names is refused from then on.

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>

#include "launcher/key_record.hpp"
#include "launcher/trust.hpp"
#include "platform/publisher.hpp"

// Why a signed key record is not taken as the successor of the current one.
enum class RecordFault {
  kNone,
  kSignature,  // its signature, or its signer's key (`origin` says which step)
  kMalformed,  // no record of the form velmora-keys 1
  kProduct,    // of another product
  kVersion,    // not the version that follows the current record's
};

struct RecordAnswer {
  RecordFault fault = RecordFault::kNone;
  OriginAnswer origin;  // the signature's judgement
  KeyRecord record;     // the record, once taken
};

// What the system's answers on the signed record `message`, whose content has the SHA-256
// `contentDigest`, mean for the successor of `current`: signed by a key `current` pins (its
// certificate's name and chain do not count: a record stays good after its certificate has
// expired), of the same product and the next version.
RecordAnswer JudgeKeyRecord(const KeyRecord& current, const SignedMessage& message, const Sha256& contentDigest);

// The file an installation keeps the record of `version` in, below its `keysDirectory`.
boost::filesystem::path KeptKeyRecord(const boost::filesystem::path& keysDirectory, std::uint32_t version);

// The system's verification of an attached signed message.
using VerifySigned = SignedMessage (*)(const std::string& signedMessage);

// The current record: `builtIn`, then each record kept in `keysDirectory` for the next version that
// `verify` and JudgeKeyRecord take, never through a link; the first one missing, unreadable or not
// taken ends the chain.
KeyRecord CurrentKeyRecord(const KeyRecord& builtIn, const boost::filesystem::path& keysDirectory,
                           const VerifySigned& verify);

// The current record of the installation in `installDirectory`, as the loader reads it where it
// checks a signed staging: each kept record verified by the system, nothing fetched.
KeyRecord InstallationKeys(const boost::filesystem::path& installDirectory);
