#pragma once
// Whether a staged update comes from the publisher of the installation it would replace, told by
// the signatures of the loaders and applications on either side.

#include <memory>

#include "platform/native_text.hpp"

enum class UpdateOrigin {
  kPublisher,  // may be installed: the installation is unsigned, or every check passed
  kRefused,    // a definite answer that it does not come from the publisher: it never will
  kUnknown,    // the check could not be made now (a file held, a system library missing)
};

// The staged loader as it was checked, held open against writing and deletion until the last copy
// of this goes, so that what was checked is what runs. Empty where nothing is held.
using HeldFile = std::shared_ptr<void>;

// On Windows an installation is signed when a publisher can be read from its loader's Authenticode
// signature, verified or not. A signed installation takes a staged loader only when Windows
// verifies its signature, with no network and no revocation check, and names the same publisher
// or one this build accepts besides (the build's VELMORA_ACCEPTED_PUBLISHERS); so too the staged
// application when the installed one is signed. An unsigned installation takes any update. The
// staged loader is held in `heldStagedLoader` only when the answer is kPublisher; it can still be
// started while held.
// Elsewhere nothing is checked (the system's packages carry their own signatures): always
// kPublisher, and nothing is held.
UpdateOrigin CheckUpdateOrigin(const NativeString& installedLoader, const NativeString& installedApplication,
                               const NativeString& stagedLoader, const NativeString& stagedApplication,
                               HeldFile& heldStagedLoader);
