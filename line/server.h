// The line server's HTTP side: ingest, the read API and the pages, over one Store. Handlers are
// thin: they read parameters, call the store, and write JSON, CSV or HTML.
#pragma once

#include <memory>
#include <string>

#include "store.h"

namespace zolvane::line {

struct ServerOptions {
  std::string token;                         // empty: the server takes no records (403)
  std::size_t maxBody = 16u * 1024 * 1024;   // a larger POST body is refused (413)
  std::size_t maxBatch = 5000;               // records in one POST
  int refreshSeconds = 30;                   // pages reload themselves this often (0: never)
  int quietMinutes = 15;                     // a station with no run for this long is quiet
};

class LineServer {
 public:
  LineServer(Store &store, ServerOptions options);
  ~LineServer();
  // Binds `host`:`port` (port 0: any free one); returns the port bound, or -1.
  int bind(const std::string &host, int port);
  // Serves until stop(); false if it could not.
  bool run();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Whether `given` equals `expected`, in a time that depends on `expected` alone.
bool sameToken(std::string_view given, std::string_view expected);
// The deepest nesting of arrays and objects in a JSON text (strings skipped), read without
// recursion, so that a hostile body is refused before a parser sees it.
std::size_t jsonDepth(std::string_view text);

}  // namespace zolvane::line
