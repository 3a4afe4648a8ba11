#pragma once
// One GET request at a time over HTTP or HTTPS, through the proxy the system or the user names,
// with the system's roots for HTTPS; bounded in time, headers and body alike; never redirected from
// HTTPS to HTTP. It asks for no content encoding and decodes none. What an answer means is the
// updater's to decide.

#include <boost/system/error_code.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct HttpRequest {
  std::string url;               // http:// or https://, UTF-8
  std::uint64_t resumeFrom = 0;  // above 0: one "Range: bytes=N-"
  std::string ifNoneMatch;       // an entity tag an earlier answer gave, sent as it was
  std::string ifModifiedSince;   // a Last-Modified an earlier answer gave, sent as it was
};

struct HttpAnswer {
  int status = 0;  // the final answer's status, after redirections; 0 when none came
  std::string etag;
  std::string lastModified;
  std::string contentRange;
  std::string contentEncoding;  // empty when the answer named none
  // The body ended where the answer said it would (its Content-Length, its last chunk, its stream's
  // end), with no failure of the transport; false for a body that ended with its connection.
  bool ended = false;
};

// Takes the body as it arrives; false stops the transfer.
using HttpBody = std::function<bool(const char* bytes, std::size_t size)>;

struct HttpLimits {
  std::chrono::seconds connect{20};  // to reach the server, or the proxy
  std::chrono::seconds stall{30};    // without a byte arriving
  // When the whole answer, its headers included, must have come; what has not by then fails as a
  // timeout, however steadily it trickles in.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// Sends `request` and passes the body of the final answer to `body`; `answer` holds its status and
// headers before the first call of `body`. The request carries no identifier of the machine or the
// user. Returns a clear code when an answer came to its end, whatever its status; otherwise the
// failure (no connection, a timeout, a refused certificate, a body cut short of its length, a
// redirection to plain HTTP, `body` stopping the transfer).
boost::system::error_code HttpGet(const HttpRequest& request, const HttpLimits& limits, const HttpBody& body,
                                  HttpAnswer& answer);

// Whether `failure` is the transfer stopped by the body, rather than the network's.
bool StoppedByBody(const boost::system::error_code& failure);

// Whether `failure` is a redirection from HTTPS to HTTP, which is never followed.
bool RedirectedToPlainHttp(const boost::system::error_code& failure);
