#include "platform/digest_posix.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

// The one-call digest: it needs no provider to be loaded, so only the hash itself is linked into
// a loader that is linked whole, and a start that checks nothing pays nothing for it.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace {
boost::system::error_code LastError() { return {errno, boost::system::system_category()}; }

// Reads the regular file open as `descriptor` to its end. The size its status gave saves the read
// that would only find the end: a short read that reaches that size ends it, one before it does not.
boost::system::error_code HashDescriptor(int descriptor, std::uint64_t size, Sha256& digest) {
  SHA256_CTX context;
  SHA256_Init(&context);
  std::array<unsigned char, 1 << 16> buffer;
  for (std::uint64_t total = 0;;) {
    const ssize_t count = read(descriptor, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return LastError();
    if (count == 0) break;
    SHA256_Update(&context, buffer.data(), static_cast<std::size_t>(count));
    total += static_cast<std::uint64_t>(count);
    if (static_cast<std::size_t>(count) < buffer.size() && total >= size) break;
  }
  SHA256_Final(digest.data(), &context);
  return {};
}
}  // namespace

boost::system::error_code Sha256OfFileAt(int folder, const char* name, FileDigest& digest) {
  digest = FileDigest{};
  // Never waits on a pipe or a device put in a file's place: what opens is asked what it is.
  const int descriptor = openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (descriptor < 0 && errno == ELOOP) {
    digest.special = true;
    return {};
  }
  if (descriptor < 0) return LastError();
  struct stat status;
  boost::system::error_code error;
  if (fstat(descriptor, &status) != 0) {
    error = LastError();
  } else if (!S_ISREG(status.st_mode)) {
    digest.special = true;
  } else {
    digest.names = status.st_nlink;
    error = HashDescriptor(descriptor, static_cast<std::uint64_t>(status.st_size), digest.sha256);
  }
  close(descriptor);
  return error;
}

boost::system::error_code Sha256OfFile(const NativeString& file, FileDigest& digest, ReadSharing) {
  return Sha256OfFileAt(AT_FDCWD, file.c_str(), digest);
}

bool Sha256OfBytes(const std::string& bytes, Sha256& digest) {
  // Not the one-call SHA256(), which goes through the provider machinery.
  SHA256_CTX context;
  return SHA256_Init(&context) == 1 && SHA256_Update(&context, bytes.data(), bytes.size()) == 1 &&
         SHA256_Final(digest.data(), &context) == 1;
}

Sha256Stream BeginSha256() {
  auto context = std::make_shared<SHA256_CTX>();
  if (SHA256_Init(context.get()) != 1) return {};
  return context;
}

bool AddToSha256(const Sha256Stream& stream, const char* bytes, std::size_t size) {
  return stream != nullptr && SHA256_Update(static_cast<SHA256_CTX*>(stream.get()), bytes, size) == 1;
}

bool FinishSha256(const Sha256Stream& stream, Sha256& digest) {
  return stream != nullptr && SHA256_Final(digest.data(), static_cast<SHA256_CTX*>(stream.get())) == 1;
}
