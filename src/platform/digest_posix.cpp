#include "platform/digest.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

// The one-call digest: it needs no provider to be loaded, so only the hash itself is linked into
// a loader that is linked whole, and a start that checks nothing pays nothing for it.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

namespace {
boost::system::error_code LastError() { return {errno, boost::system::system_category()}; }
}  // namespace

boost::system::error_code Sha256OfFile(const NativeString& file, Sha256& digest) {
  // Never waits on a pipe put in a file's place: one reads as empty, and so does not match.
  const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (descriptor < 0) return LastError();
  SHA256_CTX context;
  SHA256_Init(&context);
  std::array<unsigned char, 1 << 16> buffer;
  for (;;) {
    const ssize_t count = read(descriptor, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    // A pipe without a writer has nothing to give, and no file does that.
    if (count < 0 && errno == EAGAIN) break;
    if (count < 0) {
      const boost::system::error_code error = LastError();
      close(descriptor);
      return error;
    }
    if (count == 0) break;
    SHA256_Update(&context, buffer.data(), static_cast<std::size_t>(count));
  }
  close(descriptor);
  SHA256_Final(digest.data(), &context);
  return {};
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
