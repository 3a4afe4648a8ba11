#pragma once
// What a Windows program's PE header says, read from its bytes.

#include <optional>
#include <string_view>

// Whether the program whose first bytes are `header` names a certificate table among its data
// directories: a signed program's signature is there, whatever it says. Only a well-formed header
// without one says "unsigned"; nullopt when `header` holds no PE header, or not all of it.
std::optional<bool> CarriesCertificateTable(std::string_view header);
