#pragma once
// Failure messages for the user.

#include "platform/native_text.hpp"

// Shows `text` under the caption "Velmora loader" with one OK button and returns once it is dismissed.
void ShowErrorBox(const NativeString& text);
