#include "support/manifest.hpp"

#include <algorithm>
#include <stdexcept>

#include "launcher/manifest.hpp"
#include "support/process.hpp"
#include "support/text.hpp"

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#else
#include <unistd.h>

#include <sstream>
#endif

namespace fs = std::filesystem;

std::vector<std::string> Sha256sum(const fs::path& directory, const std::vector<std::string>& files) {
  std::vector<std::string> digests;
#ifdef _WIN32
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    throw std::runtime_error("no CryptoAPI provider");
  }
  for (const std::string& file : files) {
    HCRYPTHASH hash = 0;
    const std::string bytes = ReadText(directory / Utf8ToPath(file));
    Sha256 value{};
    DWORD size = value.size();
    const auto data = reinterpret_cast<const BYTE*>(bytes.data());
    const bool done = CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
                      CryptHashData(hash, data, static_cast<DWORD>(bytes.size()), 0) &&
                      CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0);
    if (hash != 0) CryptDestroyHash(hash);
    if (!done) throw std::runtime_error("CryptoAPI could not hash " + file);
    digests.push_back(HexOf(value));
  }
  CryptReleaseContext(provider, 0);
#else
  const fs::path capture = fs::temp_directory_path() / ("velmora-sha256sum-" + std::to_string(::getpid()));
  fs::create_directories(capture);
  std::vector<std::string> arguments = {"--"};
  arguments.insert(arguments.end(), files.begin(), files.end());
  Launched launched = StartProgram("/usr/bin/sha256sum", arguments, directory, capture);
  const Outcome outcome = WaitProgram(launched);
  fs::remove_all(capture);
  if (!outcome.finished || outcome.exitCode != 0) throw std::runtime_error("sha256sum failed: " + outcome.errors);
  std::istringstream lines(outcome.output);
  for (std::string line; std::getline(lines, line);) digests.push_back(line.substr(0, 64));
#endif
  if (digests.size() != files.size()) throw std::runtime_error("not one digest per file");
  return digests;
}

void WriteManifest(const fs::path& staging) {
  std::vector<std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(staging)) {
    const std::u8string generic = entry.path().lexically_relative(staging).generic_u8string();
    const std::string relative(generic.begin(), generic.end());
    if (entry.is_regular_file() && relative != "SHA256SUMS" && relative != "SHA256SUMS.p7") files.push_back(relative);
  }
  std::sort(files.begin(), files.end());
  const std::vector<std::string> digests = Sha256sum(staging, files);
  std::string manifest;
  for (std::size_t i = 0; i < files.size(); ++i) manifest += digests[i] + "  " + files[i] + "\n";
  WriteText(staging / "SHA256SUMS", manifest);
}
