#pragma once
// Trying a file operation again while what keeps it from passing may let go.

#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <chrono>
#include <functional>

using Attempt = std::function<boost::system::error_code()>;

// How an operation tried again went: the last attempt's result, how many were made, and the time
// from the first one's start to the last one's end.
struct Tried {
  boost::system::error_code error;
  int attempts = 0;
  std::chrono::steady_clock::duration took{};
};

// Tries `attempt` until it succeeds, fails in a way `worthRetrying` rules out, or 5 s have passed,
// with 100 ms between attempts. There is always a first attempt, however late the clock says it
// is (a machine suspended here), and an attempt begun within the budget runs to its end.
Tried Retried(const Attempt& attempt,
                                  bool (*worthRetrying)(const boost::system::error_code&));

// Moves `from` to `to` as RenamePath does, trying again while the failure may pass later.
Tried RetriedMove(const boost::filesystem::path& from, const boost::filesystem::path& to);
