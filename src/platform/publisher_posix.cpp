#include "platform/publisher.hpp"

// Linux packages are signed by their distribution and checked by its package manager; a staged
// update is the user's own files, which the loader has no signature to check against.
UpdateOrigin CheckUpdateOrigin(const NativeString&, const NativeString&, const NativeString&, const NativeString&,
                               HeldFile& heldStagedLoader) {
  heldStagedLoader.reset();
  return UpdateOrigin::kPublisher;
}
