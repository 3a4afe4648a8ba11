#pragma once
// The first bytes of a program, where its headers are, for the launcher to read (launcher/pe_header.hpp).

#include <boost/system/error_code.hpp>
#include <cstddef>
#include <string>

#include "platform/native_text.hpp"

// As much of a program's start as its headers can take: a header further in is not read.
inline constexpr std::size_t kProgramHeaderBytes = 64 * 1024;

// The first kProgramHeaderBytes of `program` (all of it when it is shorter) in `header`.
// Returns the failure to open or read it.
boost::system::error_code ReadProgramHeader(const NativeString& program, std::string& header);
