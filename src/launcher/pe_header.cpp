#include "launcher/pe_header.hpp"

#include <cstddef>
#include <cstdint>

namespace {
// The fixed places of a Windows program's headers, as Microsoft documents the PE format.
constexpr std::size_t kNewHeaderOffset = 0x3C;  // e_lfanew: where the PE signature is
constexpr std::size_t kFileHeaderBytes = 20;
constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
// The optional header's NumberOfRvaAndSizes and data directories: the 64-bit form has four bytes
// more before them (a 64-bit ImageBase, no BaseOfData).
constexpr std::size_t kDirectoryCountAt32 = 92;
constexpr std::size_t kDirectoryCountAt64 = 108;
constexpr std::size_t kCertificateTable = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY
constexpr std::size_t kDirectoryBytes = 8;    // an address and a size

// The little-endian number of `bytes` bytes at `offset`; nullopt past the end of `header`.
std::optional<std::uint32_t> Read(std::string_view header, std::size_t offset, std::size_t bytes) {
  if (offset > header.size() || header.size() - offset < bytes) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = bytes; i-- > 0;) value = (value << 8) | static_cast<unsigned char>(header[offset + i]);
  return value;
}
}  // namespace

std::optional<bool> CarriesCertificateTable(std::string_view header) {
  if (header.substr(0, 2) != "MZ") return std::nullopt;
  const std::optional<std::uint32_t> pe = Read(header, kNewHeaderOffset, 4);
  if (!pe || Read(header, *pe, 4) != kPeSignature) return std::nullopt;
  const std::size_t optional = std::size_t{*pe} + 4 + kFileHeaderBytes;
  const std::optional<std::uint32_t> magic = Read(header, optional, 2);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) return std::nullopt;
  const std::size_t count = optional + (magic == kPe32PlusMagic ? kDirectoryCountAt64 : kDirectoryCountAt32);
  const std::optional<std::uint32_t> directories = Read(header, count, 4);
  const std::optional<std::uint32_t> size = Read(header, count + 4 + kCertificateTable * kDirectoryBytes + 4, 4);
  if (!directories || !size) return std::nullopt;
  return *directories > kCertificateTable && *size != 0;
}
