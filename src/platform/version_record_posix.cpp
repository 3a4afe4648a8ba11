#include "platform/version_record.hpp"

// ELF programs carry no version record the system reads.
boost::system::error_code ProgramVersion(const NativeString&, std::optional<std::uint64_t>& version) {
  version.reset();
  return {};
}
