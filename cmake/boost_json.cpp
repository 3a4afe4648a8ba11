// Boost.JSON compiled from the host's 1.81 headers, for the Windows build (Debian ships its
// compiled library for the host only).
#include <boost/json/src.hpp>
