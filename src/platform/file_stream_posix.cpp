#include "platform/file_stream.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/held_folder_posix.hpp"

namespace {
boost::system::error_code LastError() { return {errno, boost::system::system_category()}; }

// The descriptor, -1 once closed by FinishOutput.
int& Descriptor(const StreamedFile& file) { return *static_cast<int*>(file.get()); }

StreamedFile Held(int descriptor) {
  return StreamedFile(new int(descriptor), [](void* held) {
    if (*static_cast<int*>(held) >= 0) ::close(*static_cast<int*>(held));
    delete static_cast<int*>(held);
  });
}

// A plain file's descriptor and length, or the failure; a descriptor of anything else is closed.
boost::system::error_code Opened(int descriptor, StreamedFile& file, std::uint64_t& size) {
  if (descriptor < 0) return LastError();
  struct stat status;
  const int failure = ::fstat(descriptor, &status) != 0 ? errno : S_ISREG(status.st_mode) ? 0 : EINVAL;
  if (failure != 0) {
    ::close(descriptor);
    return {failure, boost::system::system_category()};
  }
  file = Held(descriptor);
  size = static_cast<std::uint64_t>(status.st_size);
  return {};
}
}  // namespace

boost::system::error_code OpenInput(const NativeString& file, StreamedFile& input, std::uint64_t& size) {
  return Opened(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK), input, size);
}

boost::system::error_code ReadInput(const StreamedFile& input, char* buffer, std::size_t capacity, std::size_t& count) {
  for (;;) {
    const ssize_t read = ::read(Descriptor(input), buffer, capacity);
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) return LastError();
    count = static_cast<std::size_t>(read);
    return {};
  }
}

boost::system::error_code OpenOutput(const NativeString& file, bool append, StreamedFile& output, std::uint64_t& size) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (append ? O_APPEND : O_TRUNC);
  // The manifest carries no modes: every staged file may be a program, as the two it must hold are.
  return Opened(::open(file.c_str(), flags, 0755), output, size);
}

boost::system::error_code OpenOutputBelow(const HeldFolder& folder, const NativeString& relative, bool append,
                                          StreamedFile& output, std::uint64_t& size) {
  const std::vector<std::string> names = NamesOf(relative);
  if (names.empty()) return {EINVAL, boost::system::system_category()};
  const int parent = OpenFolderBelow(HeldOf(folder)->descriptor, names, names.size() - 1, false);
  if (parent < 0) return LastError();
  const char* const name = names.back().c_str();
  // A new file where nothing stands any more: a link there is gone as a link, and none put there
  // meanwhile is written through.
  if (!append && ::unlinkat(parent, name, 0) != 0 && errno != ENOENT) {
    const boost::system::error_code error = LastError();
    ::close(parent);
    return error;
  }
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (append ? O_APPEND : O_EXCL);
  const int descriptor = ::openat(parent, name, flags, 0755);
  const int failure = errno;
  ::close(parent);
  errno = failure;
  return Opened(descriptor, output, size);
}

boost::system::error_code WriteOutput(const StreamedFile& output, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(Descriptor(output), bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return LastError();
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return {};
}

boost::system::error_code FinishOutput(StreamedFile& output, const NativeString&) {
  // close(2) may report a write the file system could not complete (a full disk on NFS).
  const int descriptor = Descriptor(output);
  Descriptor(output) = -1;
  output.reset();
  return ::close(descriptor) == 0 ? boost::system::error_code() : LastError();
}

// One flush of the whole file system costs a fraction of flushing each file and each folder.
boost::system::error_code FlushFileSystemOf(const NativeString& directory) {
  const int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return LastError();
  const int flushed = ::syncfs(descriptor);
  const boost::system::error_code error = flushed == 0 ? boost::system::error_code() : LastError();
  ::close(descriptor);
  return error;
}

bool DiskFull(const boost::system::error_code& failure) {
  return failure.category() == boost::system::system_category() && (failure.value() == ENOSPC || failure.value() == EDQUOT);
}
