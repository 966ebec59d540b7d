#include "http_post.h"

#include <stdexcept>
#include <vector>

#include <windows.h>
#include <winhttp.h>

namespace zolvane::line {
namespace {

std::wstring wide(const std::string &text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string describe(DWORD code) {
  switch (code) {
    case ERROR_WINHTTP_CANNOT_CONNECT: return "connection refused or unreachable";
    case ERROR_WINHTTP_TIMEOUT: return "timed out";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return "name not resolved";
    case ERROR_WINHTTP_CONNECTION_ERROR: return "connection reset";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return "not an HTTP answer";
    default: return "WinHTTP error " + std::to_string(code);
  }
}

struct Handle {
  HINTERNET h = nullptr;
  Handle() = default;
  explicit Handle(HINTERNET handle) : h(handle) {}
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  ~Handle() {
    if (h) WinHttpCloseHandle(h);
  }
  void reset(HINTERNET handle) {
    if (h) WinHttpCloseHandle(h);
    h = handle;
  }
};

}  // namespace

struct HttpPoster::Impl {
  Handle session, connection;
  bool secure = false;
};

HttpPoster::HttpPoster(const std::string &url, std::chrono::seconds timeout)
    : impl_(std::make_unique<Impl>()) {
  const std::wstring w = wide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  wchar_t host[256] = {};
  parts.lpszHostName = host;
  parts.dwHostNameLength = static_cast<DWORD>(std::size(host));
  if (w.empty() || !WinHttpCrackUrl(w.c_str(), static_cast<DWORD>(w.size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
      parts.dwHostNameLength == 0)
    throw std::runtime_error("not a line server address: " + url);
  impl_->secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  // Straight to the line server: it is on the plant's network, not behind the office proxy.
  impl_->session.reset(WinHttpOpen(L"zolvane-forward", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!impl_->session.h) throw std::runtime_error("WinHTTP: " + describe(GetLastError()));
  const int ms = static_cast<int>(std::chrono::milliseconds(timeout).count());
  WinHttpSetTimeouts(impl_->session.h, ms, ms, ms, ms);
  impl_->connection.reset(WinHttpConnect(impl_->session.h, host, parts.nPort, 0));
  if (!impl_->connection.h) throw std::runtime_error("not a line server address: " + url);
}

HttpPoster::~HttpPoster() = default;

std::optional<HttpAnswer> HttpPoster::post(const std::string &path, const std::string &token,
                                           const std::string &body, std::string &error) {
  constexpr std::size_t kMostAnswer = 16u << 20;
  const auto fail = [&](DWORD code) -> std::optional<HttpAnswer> {
    error = describe(code);
    return std::nullopt;
  };
  if (body.size() > 0xffffffffu) return fail(ERROR_NOT_ENOUGH_MEMORY);
  Handle request(WinHttpOpenRequest(impl_->connection.h, L"POST", wide(path).c_str(), nullptr,
                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                    impl_->secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request.h) return fail(GetLastError());
  const std::wstring headers =
      L"Content-Type: application/json\r\nAuthorization: Bearer " + wide(token) + L"\r\n";
  const DWORD size = static_cast<DWORD>(body.size());
  if (!WinHttpSendRequest(request.h, headers.c_str(), static_cast<DWORD>(headers.size()),
                          const_cast<char *>(body.data()), size, size, 0) ||
      !WinHttpReceiveResponse(request.h, nullptr))
    return fail(GetLastError());
  DWORD status = 0, statusSize = sizeof status;
  if (!WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize,
                           WINHTTP_NO_HEADER_INDEX))
    return fail(GetLastError());
  HttpAnswer answer;
  answer.status = static_cast<int>(status);
  std::vector<char> chunk(64 * 1024);
  for (;;) {
    DWORD got = 0;
    if (!WinHttpReadData(request.h, chunk.data(), static_cast<DWORD>(chunk.size()), &got))
      return fail(GetLastError());
    if (got == 0) break;
    if (answer.body.size() + got > kMostAnswer) {
      error = "an answer over 16 MiB";
      return std::nullopt;
    }
    answer.body.append(chunk.data(), got);
  }
  return answer;
}

}  // namespace zolvane::line
