#include "platform/publisher.hpp"

// Linux packages are signed by their distribution and checked by its package manager; a staged
// update is the user's own files, which the loader has no signature to check against. A manifest
// beside them is still checked for the files' integrity.
std::optional<bool> CarriesSignature(const NativeString&) { return false; }

OriginAnswer CheckUpdateOrigin(const NativeString&, const NativeString&, const std::string&, const std::string&,
                               HeldFile& heldStagedLoader) {
  heldStagedLoader.reset();
  return {};
}

boost::system::error_code ProgramVersion(const NativeString&, std::optional<std::uint64_t>& version) {
  version.reset();
  return {};
}

NativeString SignaturePublisher(const NativeString&) { return {}; }
