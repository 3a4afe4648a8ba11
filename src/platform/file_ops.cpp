#include "platform/file_ops.hpp"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

namespace {
// Walks the folders below `directory`, never through a link, and throws at one on another file
// system than `fileSystem`: what is mounted there is not part of the tree. With `openUp`, each
// folder first gets every right for its owner, so that it can be read and emptied; without,
// a folder that cannot be read is passed over (the removal fails on it and opens it up).
void WalkFolders(const fs::path& directory, std::uint64_t fileSystem, bool openUp) {
  if (openUp) fs::permissions(directory, fs::perms::add_perms | fs::perms::owner_all);
  boost::system::error_code unreadable;
  fs::directory_iterator entry(directory, unreadable);
  if (unreadable && !openUp) return;
  if (unreadable) throw fs::filesystem_error("cannot read a folder to remove", directory, unreadable);
  for (const fs::directory_iterator end; entry != end; ++entry) {
    if (!fs::is_directory(entry->symlink_status())) continue;
    if (FileSystemOf(entry->path()) != fileSystem) {
      throw fs::filesystem_error("another file system below a folder to remove", entry->path(),
                                 make_error_code(boost::system::errc::cross_device_link));
    }
    WalkFolders(entry->path(), fileSystem, openUp);
  }
}
}  // namespace

void RemoveTree(const fs::path& root) {
  // A link at the root is removed as a link: what it points to is not ours to open up or empty.
  const bool folder = fs::is_directory(fs::symlink_status(root));
  if (folder) WalkFolders(root, FileSystemOf(root), false);
  try {
    fs::remove_all(root);
    return;
  } catch (const fs::filesystem_error& failure) {
    if (failure.code() != boost::system::errc::permission_denied || !folder) throw;
  }
  WalkFolders(root, FileSystemOf(root), true);
  fs::remove_all(root);
}
