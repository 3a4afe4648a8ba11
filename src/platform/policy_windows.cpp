#include "platform/policy.hpp"

#include <windows.h>

#include <string>
#include <vector>

#include "platform/system_library_windows.hpp"

namespace {
constexpr wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Velmora\\Update";
// Names and texts beyond these are no policy anyone set on purpose.
constexpr DWORD kLongestName = 256;
constexpr DWORD kLongestText = 4096;

boost::system::error_code SystemError(LSTATUS status) {
  return {static_cast<int>(status), boost::system::system_category()};
}

// An expandable string (what Group Policy Preferences and expandable policy elements write) with
// each %NAME% of this process's environment put in, as the system expands it; false where it
// cannot be (then it is no text the updater takes).
bool Expanded(std::wstring& text) {
  std::vector<wchar_t> expanded(kLongestText + 1, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length = ExpandEnvironmentStringsW(text.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
    if (length == 0) return false;
    // The length counts the terminating null; a buffer too small is told the size it needs.
    if (length <= expanded.size()) {
      text.assign(expanded.data(), length - 1);
      return true;
    }
    expanded.assign(length, L'\0');
  }
  return false;
}
}  // namespace

// advapi32 is loaded only by the runs that read the policy.
boost::system::error_code ReadUpdaterPolicy(std::vector<PolicyValue>& values) {
  values.clear();
  const auto open = SystemLibraryFunction<decltype(&RegOpenKeyExW)>(L"advapi32.dll", "RegOpenKeyExW");
  const auto enumerate = SystemLibraryFunction<decltype(&RegEnumValueW)>(L"advapi32.dll", "RegEnumValueW");
  const auto close = SystemLibraryFunction<decltype(&RegCloseKey)>(L"advapi32.dll", "RegCloseKey");
  if (open == nullptr || enumerate == nullptr || close == nullptr) return SystemError(ERROR_DLL_INIT_FAILED);
  HKEY key = nullptr;
  const LSTATUS opened = open(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
  if (opened == ERROR_FILE_NOT_FOUND) return {};
  if (opened != ERROR_SUCCESS) return SystemError(opened);
  LSTATUS status = ERROR_SUCCESS;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kLongestName + 1];
    DWORD nameLength = kLongestName + 1;
    DWORD type = 0;
    // Room for the text and a terminating null, which the registry does not promise.
    std::vector<wchar_t> text(kLongestText + 1, L'\0');
    DWORD size = kLongestText * sizeof(wchar_t);
    status = enumerate(key, index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    if (status == ERROR_NO_MORE_ITEMS) {
      status = ERROR_SUCCESS;
      break;
    }
    if (status != ERROR_SUCCESS) break;
    PolicyValue value;
    value.name.assign(name, nameLength);
    value.isText = type == REG_SZ || type == REG_EXPAND_SZ;
    if (value.isText) {
      value.text.assign(text.data(), size / sizeof(wchar_t));
      while (!value.text.empty() && value.text.back() == L'\0') value.text.pop_back();
    }
    if (type == REG_EXPAND_SZ) value.isText = Expanded(value.text);
    values.push_back(std::move(value));
  }
  close(key);
  return SystemError(status);
}
