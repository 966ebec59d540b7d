// The query string of a request, read once: the filter every view takes (from, to, station,
// plan, or a span back from now), and the few other parameters. A bad value is remembered and
// answered with 400, never guessed at.
#pragma once

#include <optional>
#include <string>

#include "store.h"

namespace httplib {
struct Request;
}

namespace zolvane::line {

class Query {
 public:
  explicit Query(const httplib::Request &q) : q_(q) {}
  // from= (or since=), to= (or until=): ISO 8601; span=8h: from that long ago; station=, plan=.
  Filter filter();
  std::optional<GroupBy> groupBy();
  std::size_t limit(std::size_t fallback, std::size_t most);
  std::string text(const char *name) const;
  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }

 private:
  std::optional<std::string> time(const char *name, const char *alias);
  const httplib::Request &q_;
  std::string error_;
};

}  // namespace zolvane::line
