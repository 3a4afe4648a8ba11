#include "platform/version_record.hpp"

#include <windows.h>
#include <winver.h>

#include <vector>

#include "platform/file_tree.hpp"
#include "platform/system_library_windows.hpp"

namespace {
#define VELMORA_VERSION_FUNCTIONS(F) F(GetFileVersionInfoExW) F(VerQueryValueW)

struct VersionFunctions {
#define VELMORA_DECLARE(name) decltype(&::name) name = nullptr;
  VELMORA_VERSION_FUNCTIONS(VELMORA_DECLARE)
#undef VELMORA_DECLARE
  DWORD failure = 0;
};

// Loaded at the first version asked for: an ordinary start reads none.
const VersionFunctions& Version() {
  static const VersionFunctions functions = [] {
    VersionFunctions found;
#define VELMORA_LOOK_UP(name) LookUpSystemFunction(L"version.dll", #name, found.name, found.failure);
    VELMORA_VERSION_FUNCTIONS(VELMORA_LOOK_UP)
#undef VELMORA_LOOK_UP
    return found;
  }();
  return functions;
}

// Far more than any version record's fixed part and strings.
constexpr DWORD kRecordBytes = 64 * 1024;

boost::system::error_code SystemError(DWORD error) { return {static_cast<int>(error), boost::system::system_category()}; }
}  // namespace

boost::system::error_code ProgramVersion(const NativeString& program, std::optional<std::uint64_t>& version) {
  version.reset();
  const VersionFunctions& system = Version();
  if (system.failure != 0) return SystemError(system.failure);
  // The fixed part alone, from the program itself: no language resources are looked for. It leads
  // the record, which a smaller buffer only cuts short, so one read does without asking the size
  // first: each call maps the program anew.
  std::vector<std::uint64_t> buffer(kRecordBytes / sizeof(std::uint64_t));
  // A plain path of MAX_PATH characters or more is refused: such a one (the updater's incoming
  // tree lies 21 characters deeper than the installation) is given in its verbatim form, and a
  // program not found there is one whose record cannot be read now, never one without a record.
  const bool tooLong = program.size() >= MAX_PATH;
  const NativeString name = tooLong ? VerbatimPath(program) : program;
  if (!system.GetFileVersionInfoExW(FILE_VER_GET_NEUTRAL, name.c_str(), 0, kRecordBytes, buffer.data())) {
    const DWORD error = GetLastError();
    // A program without a version record has none to compare; nor has one that is not there (an
    // installation whose application was removed), which stands in the way of nothing.
    const bool missing = !tooLong && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
    const bool noRecord = missing ||
                          error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
                          error == ERROR_RESOURCE_NAME_NOT_FOUND || error == ERROR_RESOURCE_LANG_NOT_FOUND ||
                          error == ERROR_BAD_EXE_FORMAT;
    return noRecord ? boost::system::error_code() : SystemError(error);
  }
  void* value = nullptr;
  UINT valueLength = 0;
  wchar_t root[] = L"\\";
  if (!system.VerQueryValueW(buffer.data(), root, &value, &valueLength) || valueLength < sizeof(VS_FIXEDFILEINFO)) {
    return {};
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != VS_FFI_SIGNATURE) return {};
  version = (static_cast<std::uint64_t>(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
  return {};
}
