#include "platform/digest.hpp"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "platform/regular_file_windows.hpp"
#include "platform/system_library_windows.hpp"

namespace {
template <typename Function>
Function Bcrypt(const char* name) {
  return SystemLibraryFunction<Function>(L"bcrypt.dll", name);
}

boost::system::error_code SystemError(DWORD error) { return {static_cast<int>(error), boost::system::system_category()}; }

// BCrypt's answers are NTSTATUS values; a failure of the hash itself is none of the file's.
const boost::system::error_code kHashUnavailable = SystemError(ERROR_DLL_INIT_FAILED);

// A SHA-256 hash object of the system's provider, or null. The provider is opened once per
// process: a staging of thousands of files hashes each with it.
BCRYPT_HASH_HANDLE NewHash() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    const auto open = Bcrypt<decltype(&BCryptOpenAlgorithmProvider)>("BCryptOpenAlgorithmProvider");
    BCRYPT_ALG_HANDLE opened = nullptr;
    if (open == nullptr || open(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return BCRYPT_ALG_HANDLE{};
    return opened;
  }();
  static const auto create = Bcrypt<decltype(&BCryptCreateHash)>("BCryptCreateHash");
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (provider == nullptr || create == nullptr || create(provider, &hash, nullptr, 0, nullptr, 0, 0) != 0) {
    return nullptr;
  }
  return hash;
}

bool AddData(BCRYPT_HASH_HANDLE hash, const void* data, ULONG size) {
  static const auto add = Bcrypt<decltype(&BCryptHashData)>("BCryptHashData");
  return add != nullptr && add(hash, static_cast<PUCHAR>(const_cast<void*>(data)), size, 0) == 0;
}

bool Finish(BCRYPT_HASH_HANDLE hash, Sha256& digest) {
  static const auto finish = Bcrypt<decltype(&BCryptFinishHash)>("BCryptFinishHash");
  static const auto destroy = Bcrypt<decltype(&BCryptDestroyHash)>("BCryptDestroyHash");
  const bool done = finish != nullptr && finish(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) == 0;
  if (destroy != nullptr) destroy(hash);
  return done;
}

// Reads the file open as `handle` to its end, `size` bytes as its information gave them: a short
// read that reaches that size ends it, one before it does not.
boost::system::error_code HashHandle(HANDLE handle, std::uint64_t size, Sha256& digest) {
  const BCRYPT_HASH_HANDLE hash = NewHash();
  if (hash == nullptr) return kHashUnavailable;
  std::array<unsigned char, 1 << 16> buffer;
  boost::system::error_code error;
  for (std::uint64_t total = 0;;) {
    DWORD count = 0;
    if (!ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr)) {
      error = SystemError(GetLastError());
      break;
    }
    if (count == 0) break;
    if (!AddData(hash, buffer.data(), count)) {
      error = kHashUnavailable;
      break;
    }
    total += count;
    if (count < buffer.size() && total >= size) break;
  }
  if (!Finish(hash, digest) && !error) error = kHashUnavailable;
  return error;
}
}  // namespace

boost::system::error_code Sha256OfFile(const NativeString& file, FileDigest& digest, ReadSharing sharing) {
  digest = FileDigest{};
  // Readers may share it; nobody may write it while it is read.
  RegularFile opened;
  if (const DWORD failure = OpenRegularFile(file, FILE_FLAG_SEQUENTIAL_SCAN, opened, sharing)) return SystemError(failure);
  digest.special = opened.special;
  if (digest.special) return {};
  // The names, from the handle that is read.
  digest.names = opened.names;
  const boost::system::error_code error = HashHandle(opened.handle, opened.size, digest.sha256);
  CloseHandle(opened.handle);
  return error;
}

bool Sha256OfBytes(const std::string& bytes, Sha256& digest) {
  const BCRYPT_HASH_HANDLE hash = NewHash();
  if (hash == nullptr) return false;
  const bool added = AddData(hash, bytes.data(), static_cast<ULONG>(bytes.size()));
  return Finish(hash, digest) && added;
}

// The hash object is destroyed with the last copy of the stream; FinishSha256 destroys it at once.
Sha256Stream BeginSha256() {
  const BCRYPT_HASH_HANDLE hash = NewHash();
  if (hash == nullptr) return {};
  return Sha256Stream(new BCRYPT_HASH_HANDLE(hash), [](void* held) {
    static const auto destroy = Bcrypt<decltype(&BCryptDestroyHash)>("BCryptDestroyHash");
    auto* handle = static_cast<BCRYPT_HASH_HANDLE*>(held);
    if (*handle != nullptr && destroy != nullptr) destroy(*handle);
    delete handle;
  });
}

bool AddToSha256(const Sha256Stream& stream, const char* bytes, std::size_t size) {
  if (stream == nullptr) return false;
  const BCRYPT_HASH_HANDLE hash = *static_cast<BCRYPT_HASH_HANDLE*>(stream.get());
  // ULONG counts: a large piece goes in parts.
  for (std::size_t done = 0; done < size;) {
    const ULONG part = static_cast<ULONG>(std::min<std::size_t>(size - done, 1u << 30));
    if (hash == nullptr || !AddData(hash, bytes + done, part)) return false;
    done += part;
  }
  return true;
}

bool FinishSha256(const Sha256Stream& stream, Sha256& digest) {
  if (stream == nullptr) return false;
  auto* handle = static_cast<BCRYPT_HASH_HANDLE*>(stream.get());
  if (*handle == nullptr) return false;
  const bool done = Finish(*handle, digest);
  *handle = nullptr;
  return done;
}
