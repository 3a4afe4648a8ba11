#include "platform/file_ops.hpp"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {
void OpenUpFolders(const fs::path& directory) {
  fs::permissions(directory, fs::perms::add_perms | fs::perms::owner_all);
  for (fs::directory_iterator entry(directory), end; entry != end; ++entry) {
    if (fs::is_directory(entry->symlink_status())) OpenUpFolders(entry->path());
  }
}
}  // namespace

void RemoveTree(const fs::path& root) {
  try {
    fs::remove_all(root);
    return;
  } catch (const fs::filesystem_error& failure) {
    // A link is removed, never followed: what it points to is not ours to open up.
    if (failure.code() != boost::system::errc::permission_denied || !fs::is_directory(fs::symlink_status(root))) {
      throw;
    }
  }
  OpenUpFolders(root);
  fs::remove_all(root);
}
