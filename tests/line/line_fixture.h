// What the line tests share: a store of each kind (SQLite in a temporary file; PostgreSQL in a
// cluster of the test program's own, started once by scripts/pg-test-cluster.sh and stopped at
// the end), a line server on a free port of 127.0.0.1, and records made to order.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "server.h"
#include "store.h"

namespace line_test {

// A fresh store of the kind ("sqlite" or "postgres"), as a --store text.
std::string freshStore(const std::string &kind);

struct RunningServer {
  RunningServer(const std::string &store, zolvane::line::ServerOptions options = {});
  ~RunningServer();
  httplib::Client client() const;
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }

  zolvane::line::Store store;
  std::unique_ptr<zolvane::line::LineServer> server;
  int port = 0;
  std::thread thread;
};

inline constexpr const char *kToken = "line-test-token";

// A schema-2 record: `steps` pairs of name and value (limits 0..10; verdict from the value).
nlohmann::json record(const std::string &serial, const std::string &station,
                      const std::string &verdict, const std::string &start,
                      const std::vector<std::pair<std::string, double>> &steps = {{"Power", 5}},
                      const std::string &plan = "default");

httplib::Result post(httplib::Client &c, const std::string &body, const std::string &token = kToken);

}  // namespace line_test
