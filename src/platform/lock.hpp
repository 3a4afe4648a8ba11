#pragma once
// One run at a time on an installation: the system's lock that keeps two runs from changing it at
// once, and that every session of the user shares.

#include <chrono>
#include <memory>
#include <optional>

#include "platform/native_text.hpp"

// The installation's lock while a run holds it: the system's, let go when the last copy of this
// goes or with the process. Empty when the system could give no lock (the directory cannot be
// opened, say): the run then goes on without one.
using InstallationLock = std::shared_ptr<void>;

// Takes the exclusive lock of the installation in `installDirectory`, waiting while another run
// holds it: without limit, or for `patience` at most, after which there is nothing. Natively it is
// flock(2) on the install directory. On Windows it is a lock on the first byte of `lockFile`, in
// the installation's data folder, where that folder is a folder (no link) and the file can be
// opened there as itself (no link, never through one; created when missing); elsewhere, where no
// updater has ever run, a mutex named after the install directory in the session's namespace.
std::optional<InstallationLock> TakeInstallationLock(const NativeString& installDirectory, const NativeString& lockFile,
                                                     std::optional<std::chrono::milliseconds> patience);
