#pragma once
// The machine's policy for the updater, set by its administrators (on Windows through the
// registry, as Group Policy sets it).

#include <boost/system/error_code.hpp>
#include <vector>

#include "platform/native_text.hpp"

struct PolicyValue {
  NativeString name;
  NativeString text;   // a string value's text (an expandable one's with its %NAME%s expanded)
  bool isText = true;  // false for a value of another type, or one that could not be expanded
};

// Every value under HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Velmora\Update, in the registry's 64-bit
// view, into `values`; none where the key does not exist. Natively there is no such policy: none.
// Returns the failure to read the key, or a clear code.
boost::system::error_code ReadUpdaterPolicy(std::vector<PolicyValue>& values);
