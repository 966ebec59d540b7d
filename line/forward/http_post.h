// The one HTTP request the forwarder makes: a POST of a JSON body with a bearer token. On Linux
// it goes through cpp-httplib; on Windows through WinHTTP, which every Windows has, so that a
// station needs no DLL beyond the system's for it.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace zolvane::line {

struct HttpAnswer {
  int status = 0;
  std::string body;
};

class HttpPoster {
 public:
  // `url`: http://HOST:PORT (a path after it is not used). Throws std::runtime_error when it is
  // not such an address. `timeout` bounds the connect, the send and the wait for the answer.
  HttpPoster(const std::string &url, std::chrono::seconds timeout);
  ~HttpPoster();
  HttpPoster(const HttpPoster &) = delete;
  HttpPoster &operator=(const HttpPoster &) = delete;

  // The server's answer, or nothing with `error` saying why none came (refused, timed out, the
  // connection dropped, an answer over 16 MiB). The connection is kept for the next request.
  std::optional<HttpAnswer> post(const std::string &path, const std::string &token,
                                 const std::string &body, std::string &error);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether `token` can go into a header as it is: printable ASCII, no spaces at either end (a
// line break in it would start a header of the token file's choosing).
bool tokenIsSafe(const std::string &token);

}  // namespace zolvane::line
