#pragma once
// A program's version record: the file version Windows shows in its properties.

#include <boost/system/error_code.hpp>
#include <cstdint>
#include <optional>

#include "platform/native_text.hpp"

// The file version of `program`'s version record (its most significant half first), nullopt when it
// has none or is not there; the failure when the program could not be read. Where programs carry no
// version record (POSIX): nullopt.
boost::system::error_code ProgramVersion(const NativeString& program, std::optional<std::uint64_t>& version);
