# Checks the PE headers and import table of a built Velmora.exe.
#
#   cmake -DOBJDUMP=<x86_64-w64-mingw32-objdump> -DEXE=<Velmora.exe> -P check_imports.cmake
#
# Velmora.exe ships as a single file, so it may only import DLLs that every
# Windows install already has; a MinGW runtime DLL showing up here means the
# static link broke and the exe would not start on a clean machine.

cmake_minimum_required(VERSION 3.20)

foreach(var OBJDUMP EXE)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "check_imports.cmake: pass -D${var}=...")
  endif()
endforeach()
if(NOT EXISTS "${EXE}")
  message(FATAL_ERROR "${EXE} does not exist")
endif()

execute_process(
  COMMAND "${OBJDUMP}" -p "${EXE}"
  OUTPUT_VARIABLE dump
  ERROR_VARIABLE dump_errors
  RESULT_VARIABLE dump_result)
if(NOT dump_result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed (${dump_result}): ${dump_errors}")
endif()

# Lower-case names of DLLs that come with Windows 7 and later.
set(system_dlls
  advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll crypt32.dll dbghelp.dll
  dwmapi.dll gdi32.dll imm32.dll iphlpapi.dll kernel32.dll msvcrt.dll
  mswsock.dll ncrypt.dll netapi32.dll ntdll.dll ole32.dll oleaut32.dll
  psapi.dll rpcrt4.dll secur32.dll setupapi.dll shell32.dll shlwapi.dll
  ucrtbase.dll user32.dll userenv.dll uxtheme.dll version.dll winhttp.dll
  wininet.dll winmm.dll wintrust.dll ws2_32.dll)
# The GCC and winpthreads runtimes: present only where MinGW is installed.
set(mingw_runtime_dlls libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)

set(problems "")

if(NOT dump MATCHES "file format pei-x86-64")
  list(APPEND problems "not an x86-64 PE image")
endif()
if(NOT dump MATCHES "\nMagic[ \t]+020b")
  list(APPEND problems "not a PE32+ image (optional header magic is not 020b)")
endif()

if(dump MATCHES "\nSubsystem[ \t]+([0-9a-fA-F]+)")
  math(EXPR subsystem "0x${CMAKE_MATCH_1}")
  if(NOT subsystem EQUAL 2)
    list(APPEND problems "subsystem is ${subsystem}, want 2 (Windows GUI)")
  endif()
else()
  list(APPEND problems "objdump printed no Subsystem line")
endif()

string(REGEX MATCHALL "DLL Name: [^\r\n]+" dll_lines "${dump}")
set(imports "")
foreach(line IN LISTS dll_lines)
  string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  list(APPEND imports "${dll}")
  string(TOLOWER "${dll}" lower)
  if(lower IN_LIST mingw_runtime_dlls)
    list(APPEND problems "imports the MinGW runtime DLL ${dll}: link it statically")
  elseif(NOT lower IN_LIST system_dlls AND NOT lower MATCHES "^api-ms-win-(crt|core)-.+\\.dll$")
    list(APPEND problems "imports ${dll}, which does not ship with Windows")
  endif()
endforeach()
# Every Windows program imports kernel32; missing means the dump was not parsed.
list(TRANSFORM imports TOLOWER OUTPUT_VARIABLE imports_lower)
if(NOT "kernel32.dll" IN_LIST imports_lower)
  list(APPEND problems "no KERNEL32.dll among the imports (${imports})")
endif()

string(REPLACE ";" ", " import_text "${imports}")
if(problems)
  string(REPLACE ";" "\n  " problem_text "${problems}")
  message(FATAL_ERROR "${EXE}:\n  ${problem_text}\nimports: ${import_text}")
endif()
message(STATUS "${EXE}: Windows GUI subsystem, imports: ${import_text}")
