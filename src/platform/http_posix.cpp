#include "platform/http.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace {
// libcurl's own numbers, with its own words for them.
class CurlCategory : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "curl"; }
  std::string message(int value) const override { return curl_easy_strerror(static_cast<CURLcode>(value)); }
};
const CurlCategory curlCategory;

boost::system::error_code CurlError(CURLcode code) { return {static_cast<int>(code), curlCategory}; }

// The one failure that is this service's own: a redirection it refused to follow.
class DowngradeCategory : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "http"; }
  std::string message(int) const override { return "redirected from https to http"; }
};
const DowngradeCategory downgradeCategory;

struct Transfer {
  CURL* curl = nullptr;
  const HttpBody* body = nullptr;
  HttpAnswer* answer = nullptr;
  bool statusKnown = false;
  bool chunked = false;  // the final answer's body comes in chunks, its last one marking its end
  std::string location;  // where the last answer redirected to
};

std::string Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

bool HeaderIs(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if ((line[i] | 0x20) != (name[i] | 0x20)) return false;
  }
  return true;
}

// Headers of every answer arrive here, those of a redirection too: a status line begins each
// answer's set, so what an earlier one said is forgotten.
std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::string_view line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) {
    *transfer.answer = HttpAnswer{};
    transfer.chunked = false;
    transfer.location.clear();
  } else if (HeaderIs(line, "location")) {
    transfer.location = Trimmed(line.substr(9));
  } else if (HeaderIs(line, "content-encoding")) {
    transfer.answer->contentEncoding = Trimmed(line.substr(17));
  } else if (HeaderIs(line, "transfer-encoding")) {
    transfer.chunked = Trimmed(line.substr(18)).find("chunked") != std::string::npos;
  } else if (HeaderIs(line, "etag")) {
    transfer.answer->etag = Trimmed(line.substr(5));
  } else if (HeaderIs(line, "last-modified")) {
    transfer.answer->lastModified = Trimmed(line.substr(14));
  } else if (HeaderIs(line, "content-range")) {
    transfer.answer->contentRange = Trimmed(line.substr(14));
  }
  return size * count;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  if (!transfer.statusKnown) {
    long status = 0;
    curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
    transfer.answer->status = static_cast<int>(status);
    transfer.statusKnown = true;
  }
  // Anything but the whole count stops the transfer.
  return (*transfer.body)(data, size * count) ? size * count : 0;
}
}  // namespace

// libcurl takes the usual proxy variables (http_proxy, https_proxy, no_proxy, all_proxy) by
// itself, and the system's roots as Debian built it; CURL_CA_BUNDLE names other roots, as it does
// for the curl program.
boost::system::error_code HttpGet(const HttpRequest& request, const HttpLimits& limits, const HttpBody& body,
                                  HttpAnswer& answer) {
  static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (initialised != CURLE_OK) return CurlError(initialised);
  answer = HttpAnswer{};
  const std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return CurlError(CURLE_FAILED_INIT);
  Transfer transfer{curl.get(), &body, &answer, false, false, {}};
  // No encoding is asked for (an answer without this header may take any), and none is decoded:
  // an object is taken as its bytes or not at all.
  curl_slist* headers = curl_slist_append(nullptr, "Accept-Encoding: identity");
  if (!request.ifNoneMatch.empty()) headers = curl_slist_append(headers, ("If-None-Match: " + request.ifNoneMatch).c_str());
  if (!request.ifModifiedSince.empty()) {
    headers = curl_slist_append(headers, ("If-Modified-Since: " + request.ifModifiedSince).c_str());
  }
  const std::unique_ptr<curl_slist, void (*)(curl_slist*)> heldHeaders(headers, curl_slist_free_all);
  const std::string range = std::to_string(request.resumeFrom) + "-";
  CURL* const handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  // A redirection keeps to the request's own scheme or goes up to https, never down to http.
  const bool secure = request.url.rfind("https:", 0) == 0;
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.connect.count()));
  // A transfer that gives less than one byte a second for that long has stalled.
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.stall.count()));
  // The whole answer, headers included: a server that trickles them is cut at the deadline too.
  if (limits.deadline != std::chrono::steady_clock::time_point::max()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limits.deadline - std::chrono::steady_clock::now());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<std::int64_t>(left.count(), 1)));
  }
  // The program's name and version alone: nothing that tells one machine from another.
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "velmora-update");
  // Larger pieces than the default 16 KiB: fewer calls into the digest and the file.
  curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 512L * 1024);
  if (request.resumeFrom > 0) curl_easy_setopt(handle, CURLOPT_RANGE, range.c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  if (const char* roots = std::getenv("CURL_CA_BUNDLE"); roots != nullptr && *roots != '\0') {
    curl_easy_setopt(handle, CURLOPT_CAINFO, roots);
  }
  curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
  const CURLcode result = curl_easy_perform(handle);
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  answer.status = static_cast<int>(status);
  // The scheme of the Location refused: "http:", in any letter case, read as a header's name.
  if (result == CURLE_UNSUPPORTED_PROTOCOL && secure && HeaderIs(transfer.location, "http")) return {1, downgradeCategory};
  if (result != CURLE_OK) return CurlError(result);
  // An HTTP/1 body without a length or chunks ends with its connection, whether whole or cut.
  curl_off_t length = -1;
  long version = 0;
  curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
  curl_easy_getinfo(handle, CURLINFO_HTTP_VERSION, &version);
  answer.ended = length >= 0 || transfer.chunked || version >= CURL_HTTP_VERSION_2_0;
  return {};
}

bool StoppedByBody(const boost::system::error_code& failure) {
  return failure.category() == curlCategory && failure.value() == CURLE_WRITE_ERROR;
}

bool RedirectedToPlainHttp(const boost::system::error_code& failure) { return failure.category() == downgradeCategory; }
