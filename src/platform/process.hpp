#pragma once
// Process services: where the running loader lives, and starting and waiting for other programs.

#include <cstdint>

#include "platform/native_text.hpp"

// Full path of the running executable, exactly as the system reports it; empty when the query fails.
NativeString GetModulePath();

// The module path cut before its last separator; empty when there is none (or the query failed).
NativeString GetModuleDirectory();

// Starts `program` with no arguments, the module directory as working directory and this
// process's environment, and waits without limit until it ends. On a failed start, writes
// "CreateProcess failed (N)." to standard output and returns false.
bool StartProcessAndWait(const NativeString& program);

// Starts `file` hidden and detached through the shell, without waiting. `parameters` is a
// command-line tail (Windows quoting rules); null `workingDirectory` keeps the current one.
// Returns false only when the file could not be started at all.
bool ShellStartHidden(const NativeString& file, const NativeString* parameters,
                      const NativeString* workingDirectory);

// Waits without limit until the process with this id ends; returns at once when no such
// process can be opened.
void WaitForProcessExit(std::uint32_t processId);
