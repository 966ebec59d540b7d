#include "http_post.h"

#include <stdexcept>

#include <httplib.h>

namespace zolvane::line {

struct HttpPoster::Impl {
  std::unique_ptr<httplib::Client> http;
};

HttpPoster::HttpPoster(const std::string &url, std::chrono::seconds timeout)
    : impl_(std::make_unique<Impl>()) {
  try {
    impl_->http = std::make_unique<httplib::Client>(url);
  } catch (const std::exception &e) {
    throw std::runtime_error("not a line server address: " + url + " (" + e.what() + ")");
  }
  if (!impl_->http->is_valid()) throw std::runtime_error("not a line server address: " + url);
  impl_->http->set_connection_timeout(timeout);
  impl_->http->set_read_timeout(timeout);
  impl_->http->set_write_timeout(timeout);
  impl_->http->set_keep_alive(true);
  impl_->http->set_tcp_nodelay(true);  // a request's body goes out without waiting for an ACK
}

HttpPoster::~HttpPoster() = default;

std::optional<HttpAnswer> HttpPoster::post(const std::string &path, const std::string &token,
                                           const std::string &body, std::string &error) {
  constexpr std::size_t kMostAnswer = 16u << 20;
  std::string answer;
  bool tooLarge = false;
  const httplib::Headers headers = {{"Authorization", "Bearer " + token}};
  httplib::Request req;
  req.method = "POST";
  req.path = path;
  req.headers = headers;
  req.body = body;
  req.set_header("Content-Type", "application/json");
  req.content_receiver = [&](const char *data, std::size_t n, std::uint64_t, std::uint64_t) {
    if (answer.size() + n > kMostAnswer) {
      tooLarge = true;
      return false;
    }
    answer.append(data, n);
    return true;
  };
  httplib::Response res;
  httplib::Error err = httplib::Error::Success;
  if (!impl_->http->send(req, res, err)) {
    error = tooLarge ? "an answer over 16 MiB" : httplib::to_string(err);
    return std::nullopt;
  }
  return HttpAnswer{res.status, std::move(answer)};
}

}  // namespace zolvane::line
