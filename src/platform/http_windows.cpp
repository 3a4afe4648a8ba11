#include "platform/http.hpp"

#include <windows.h>
#include <winhttp.h>

#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {
// The one failure that is the caller's own: its body stopped the transfer.
class StoppedCategory : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "http"; }
  std::string message(int) const override { return "the transfer was stopped"; }
};
const StoppedCategory stoppedCategory;

// And one that is this service's own: a redirection it refused to follow.
class DowngradeCategory : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "http"; }
  std::string message(int) const override { return "redirected from https to http"; }
};
const DowngradeCategory downgradeCategory;

boost::system::error_code LastError() {
  return {static_cast<int>(GetLastError()), boost::system::system_category()};
}

using Handle = std::unique_ptr<void, decltype(&WinHttpCloseHandle)>;

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  std::string text;
  for (const wchar_t c : wide) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return text;
}

// A header of the answer as text; empty when it has none.
std::string Header(HINTERNET request, DWORD which) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return {};
  std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  value.resize(size / sizeof(wchar_t));
  return Narrow(value);
}

// Windows 8.1 and later choose the proxy as the system does (its automatic detection, the PAC
// file, the user's settings). Before that, the user's settings are taken in Windows' own order:
// automatic detection, the PAC URL, the static proxy and its bypass list; then the machine's
// WinHTTP proxy (netsh winhttp), then none.
Handle OpenSession(bool& automatic) {
  HINTERNET session = WinHttpOpen(L"velmora-update", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  automatic = session != nullptr;
  if (session == nullptr) {
    session = WinHttpOpen(L"velmora-update", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
  }
  return Handle(session, WinHttpCloseHandle);
}

// Before Windows 8.1 only: the user's own proxy settings for `url`, applied to `request`.
void ApplyUserProxy(HINTERNET session, HINTERNET request, const std::wstring& url) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&user)) return;
  WINHTTP_PROXY_INFO proxy{};
  bool found = false;
  if (user.fAutoDetect || user.lpszAutoConfigUrl != nullptr) {
    WINHTTP_AUTOPROXY_OPTIONS automatic{};
    automatic.fAutoLogonIfChallenged = TRUE;
    if (user.fAutoDetect) {
      automatic.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
      automatic.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
      found = WinHttpGetProxyForUrl(session, url.c_str(), &automatic, &proxy);
    }
    if (!found && user.lpszAutoConfigUrl != nullptr) {
      automatic.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
      automatic.dwAutoDetectFlags = 0;
      automatic.lpszAutoConfigUrl = user.lpszAutoConfigUrl;
      found = WinHttpGetProxyForUrl(session, url.c_str(), &automatic, &proxy);
    }
  }
  if (!found && user.lpszProxy != nullptr) {
    proxy.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    proxy.lpszProxy = user.lpszProxy;
    proxy.lpszProxyBypass = user.lpszProxyBypass;
    found = true;
    user.lpszProxy = nullptr;
    user.lpszProxyBypass = nullptr;
  }
  if (found) WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &proxy, sizeof proxy);
  for (LPWSTR text : {user.lpszAutoConfigUrl, user.lpszProxy, user.lpszProxyBypass}) {
    if (text != nullptr) GlobalFree(text);
  }
  if (found) {
    if (proxy.lpszProxy != nullptr) GlobalFree(proxy.lpszProxy);
    if (proxy.lpszProxyBypass != nullptr) GlobalFree(proxy.lpszProxyBypass);
  }
}

// Sends the request and waits for the final answer's headers, its status into `status`; a proxy
// that asks for the user's logon gets it once.
boost::system::error_code Send(HINTERNET handle, DWORD logon, DWORD& status) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!WinHttpSendRequest(handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(handle, nullptr)) {
      return LastError();
    }
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &status, &size, WINHTTP_NO_HEADER_INDEX)) {
      return LastError();
    }
    DWORD schemes = 0, first = 0, target = 0;
    if (status != HTTP_STATUS_PROXY_AUTH_REQ || attempt > 0 ||
        !WinHttpQueryAuthSchemes(handle, &schemes, &first, &target)) {
      break;
    }
    const DWORD scheme = (schemes & WINHTTP_AUTH_SCHEME_NEGOTIATE) != 0 ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                         : (schemes & WINHTTP_AUTH_SCHEME_NTLM) != 0    ? WINHTTP_AUTH_SCHEME_NTLM
                                                                         : 0;
    // Negotiate and NTLM proxies take the user's own logon, which the policy must then allow.
    logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    if (scheme == 0 || !WinHttpSetOption(handle, WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon) ||
        !WinHttpSetCredentials(handle, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr)) {
      break;
    }
  }
  return {};
}

// The exchange itself, on the thread of its own that runs it; `deliver` passes each piece of
// the body on, `started` the answer's headers once they are known, before the first piece.
boost::system::error_code Exchange(const HttpRequest& request, const HttpLimits& limits, HttpAnswer& answer,
                                   const std::function<void(const HttpAnswer&)>& started, const HttpBody& deliver) {
  const std::wstring url = Wide(request.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return LastError();
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                            std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  bool automatic = false;
  const Handle session = OpenSession(automatic);
  if (!session) return LastError();
  const int connect = static_cast<int>(limits.connect.count() * 1000);
  const int stall = static_cast<int>(limits.stall.count() * 1000);
  WinHttpSetTimeouts(session.get(), connect, connect, stall, stall);
  const Handle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0), WinHttpCloseHandle);
  if (!connection) return LastError();
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  const Handle opened(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0),
                      WinHttpCloseHandle);
  if (!opened) return LastError();
  HINTERNET const handle = opened.get();
  if (!automatic) ApplyUserProxy(session.get(), handle, url);
  // The user's logon goes to no server: a feed server or mirror that asks for it (401) gets
  // nothing. Only a proxy that asks for it (407) gets it, below.
  DWORD logon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
  WinHttpSetOption(handle, WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon);
  // WinHTTP's own default, set all the same: a redirection from https to http is not followed.
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
  WinHttpSetOption(handle, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);
  // No encoding asked for (an answer without this header may take any); WinHTTP decodes none.
  std::wstring headers = L"Accept-Encoding: identity\r\n";
  if (request.resumeFrom > 0) headers += L"Range: bytes=" + std::to_wstring(request.resumeFrom) + L"-\r\n";
  if (!request.ifNoneMatch.empty()) headers += L"If-None-Match: " + Wide(request.ifNoneMatch) + L"\r\n";
  if (!request.ifModifiedSince.empty()) headers += L"If-Modified-Since: " + Wide(request.ifModifiedSince) + L"\r\n";
  if (!WinHttpAddRequestHeaders(handle, headers.c_str(), static_cast<DWORD>(-1), WINHTTP_ADDREQ_FLAG_ADD)) {
    return LastError();
  }
  DWORD status = 0;
  if (const boost::system::error_code error = Send(handle, logon, status)) return error;
  // The redirection WinHTTP did not follow comes back as the answer.
  if (secure && status >= 300 && status < 400 && Header(handle, WINHTTP_QUERY_LOCATION).rfind("http:", 0) == 0) {
    return {1, downgradeCategory};
  }
  answer.status = static_cast<int>(status);
  answer.etag = Header(handle, WINHTTP_QUERY_ETAG);
  answer.lastModified = Header(handle, WINHTTP_QUERY_LAST_MODIFIED);
  answer.contentRange = Header(handle, WINHTTP_QUERY_CONTENT_RANGE);
  answer.contentEncoding = Header(handle, WINHTTP_QUERY_CONTENT_ENCODING);
  const bool chunked = Header(handle, WINHTTP_QUERY_TRANSFER_ENCODING).find("chunked") != std::string::npos;
  started(answer);
  // Under Wine a connection closed before the length the answer gave ends the read as if it were
  // whole (Windows fails it): what came is compared with the length here.
  std::uint64_t expected = UINT64_MAX, received = 0;
  const std::string length = Header(handle, WINHTTP_QUERY_CONTENT_LENGTH);
  if (!length.empty()) expected = std::strtoull(length.c_str(), nullptr, 10);
  // Large reads: each one is a round through the system's HTTP stack.
  std::vector<char> buffer(1 << 20);
  for (;;) {
    DWORD count = 0;
    if (!WinHttpReadData(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &count)) return LastError();
    if (count == 0) {
      if (expected != UINT64_MAX && received < expected) return {ERROR_WINHTTP_CONNECTION_ERROR, boost::system::system_category()};
      answer.ended = expected != UINT64_MAX || chunked;
      return {};
    }
    received += count;
    if (!deliver(buffer.data(), count)) return {1, stoppedCategory};
  }
}

// What the caller and the thread running its exchange share. The caller may leave at the deadline
// while the thread is still inside a synchronous call, which nothing cancels (Microsoft documents
// closing a handle to cancel only an asynchronous request, and Wine's synchronous calls go on
// after it); the thread then finishes on its own and touches nothing of the caller's.
struct Shared {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  const HttpBody* body = nullptr;  // the caller's, until it leaves
  HttpAnswer* answer = nullptr;    // the same
  boost::system::error_code error;
  std::exception_ptr thrown;
};
}  // namespace

boost::system::error_code HttpGet(const HttpRequest& request, const HttpLimits& limits, const HttpBody& body,
                                  HttpAnswer& answer) {
  answer = HttpAnswer{};
  const auto shared = std::make_shared<Shared>();
  shared->body = &body;
  shared->answer = &answer;
  std::thread worker([shared, request, limits] {
    HttpAnswer own;
    boost::system::error_code error;
    std::exception_ptr thrown;
    try {
      error = Exchange(
          request, limits, own,
          [&](const HttpAnswer& known) {
            const std::lock_guard<std::mutex> lock(shared->mutex);
            if (shared->answer != nullptr) *shared->answer = known;
          },
          [&](const char* bytes, std::size_t size) {
            const std::lock_guard<std::mutex> lock(shared->mutex);
            return shared->body != nullptr && (*shared->body)(bytes, size);
          });
    } catch (...) {
      thrown = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->answer != nullptr) *shared->answer = own;
    shared->error = error;
    shared->thrown = thrown;
    shared->done = true;
    shared->finished.notify_all();
  });
  std::unique_lock<std::mutex> lock(shared->mutex);
  const auto done = [&] { return shared->done; };
  if (limits.deadline == std::chrono::steady_clock::time_point::max()) {
    shared->finished.wait(lock, done);
  } else if (!shared->finished.wait_until(lock, limits.deadline, done)) {
    shared->body = nullptr;
    shared->answer = nullptr;
    worker.detach();
    return {ERROR_WINHTTP_TIMEOUT, boost::system::system_category()};
  }
  // The thread is let end before the next exchange begins: under Wine a request made while the
  // thread of the one before was still ending hung now and then (4 runs of 60 waited out their
  // deadline), never once the thread had ended (none of 140).
  lock.unlock();
  worker.join();
  if (shared->thrown) std::rethrow_exception(shared->thrown);
  return shared->error;
}

bool StoppedByBody(const boost::system::error_code& failure) { return failure.category() == stoppedCategory; }

bool RedirectedToPlainHttp(const boost::system::error_code& failure) { return failure.category() == downgradeCategory; }
