#include "platform/publisher.hpp"

// Linux packages are signed by their distribution and checked by its package manager; a staged
// update is the user's own files, which the loader has no signature to check against. A manifest
// beside them is still checked for the files' integrity.
bool ProgramsCarrySignatures() { return false; }

SignatureAnswer ReadProgramSigner(const NativeString&) {
  SignatureAnswer answer;
  answer.status = kNoSignatureService;
  return answer;
}

boost::system::error_code HoldForReading(const NativeString&, HeldFile& held) {
  held.reset();
  return {};
}

SignatureAnswer VerifyProgram(const HeldFile&, const NativeString&) { return ReadProgramSigner({}); }

SignedMessage VerifySignedMessage(const std::string&, const std::string*, ChainRetrieval) {
  SignedMessage answer;
  answer.decoded = kNoSignatureService;
  return answer;
}
