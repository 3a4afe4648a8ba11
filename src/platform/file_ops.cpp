#include "platform/file_ops.hpp"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {
// Gives the owner every right on `directory` and the folders below it, never through a link.
void OpenUpFolders(const fs::path& directory) {
  fs::permissions(directory, fs::perms::add_perms | fs::perms::owner_all);
  for (fs::directory_iterator entry(directory), end; entry != end; ++entry) {
    if (fs::is_directory(entry->symlink_status())) OpenUpFolders(entry->path());
  }
}
}  // namespace

void RemoveTree(const fs::path& root) {
  // A link at the root is removed as a link: what it points to is not ours to open up or empty.
  const bool folder = fs::is_directory(fs::symlink_status(root));
  if (folder) RequireOneFileSystem(root);
  try {
    fs::remove_all(root);
    return;
  } catch (const fs::filesystem_error& failure) {
    if (failure.code() != boost::system::errc::permission_denied || !folder) throw;
  }
  OpenUpFolders(root);
  fs::remove_all(root);
}
