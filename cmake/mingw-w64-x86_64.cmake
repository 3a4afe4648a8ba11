# Windows x64 with Debian's mingw-w64, posix thread model (for std::thread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# One file that runs on a bare Windows: the GCC, C++ and thread runtimes are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
