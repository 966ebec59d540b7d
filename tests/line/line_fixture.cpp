#include "line_fixture.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "db.h"
#include "record_schema.h"

namespace line_test {
namespace {

std::string run(const std::string &command) {
  std::string out;
  FILE *p = popen(command.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run " + command);
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  if (pclose(p) != 0) throw std::runtime_error(command + " failed: " + out);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// The cluster: made at first use, removed when the program ends (and by the script's watcher
// if the program is killed).
struct Cluster {
  std::string folder, url;
  Cluster() {
    char tmpl[] = "/tmp/zolvane-line-pg-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    folder = tmpl;
    url = run(std::string(ZOLVANE_PG_CLUSTER_SCRIPT) + " start " + folder + " --fast --watch " +
              std::to_string(getpid()));
  }
  ~Cluster() {
    const int rc = std::system(
        (std::string(ZOLVANE_PG_CLUSTER_SCRIPT) + " destroy " + folder + " >/dev/null 2>&1").c_str());
    (void)rc;  // the watcher removes it too
    std::filesystem::remove_all(folder);
  }
};

std::atomic<int> counter{0};

}  // namespace

std::string freshStore(const std::string &kind) {
  const int n = ++counter;
  if (kind == "sqlite") {
    static const struct Folder {
      std::string path;
      Folder() {
        char tmpl[] = "/tmp/zolvane-line-sqlite-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
        path = tmpl;
      }
      ~Folder() { std::filesystem::remove_all(path); }
    } folder;
    return "sqlite:" + folder.path + "/store" + std::to_string(n) + ".sqlite";
  }
  static Cluster cluster;
  const std::string db = "t" + std::to_string(getpid()) + "_" + std::to_string(n);
  auto admin = zolvane::line::openPostgres(cluster.url.substr(0, cluster.url.rfind('/')) + "/postgres");
  admin->exec("CREATE DATABASE " + db);
  return cluster.url.substr(0, cluster.url.rfind('/')) + "/" + db;
}

RunningServer::RunningServer(const std::string &s, zolvane::line::ServerOptions options)
    : store(s, 8) {
  store.migrate();
  if (options.token.empty()) options.token = kToken;
  server = std::make_unique<zolvane::line::LineServer>(store, options);
  port = server->bind("127.0.0.1", 0);
  if (port <= 0) throw std::runtime_error("no port");
  thread = std::thread([this] { server->run(); });
}

RunningServer::~RunningServer() {
  server->stop();
  thread.join();
}

httplib::Client RunningServer::client() const {
  httplib::Client c("127.0.0.1", port);
  c.set_read_timeout(60, 0);
  return c;
}

nlohmann::json record(const std::string &serial, const std::string &station,
                      const std::string &verdict, const std::string &start,
                      const std::vector<std::pair<std::string, double>> &steps,
                      const std::string &plan) {
  nlohmann::json rows = nlohmann::json::array();
  int i = 0;
  for (const auto &[name, value] : steps) {
    rows.push_back({{"index", ++i}, {"name", name}, {"value", value}, {"unit", "dBm"},
                    {"low", 0.0}, {"high", 10.0},
                    {"verdict", value >= 0 && value <= 10 ? "PASS" : "FAIL"},
                    {"seconds", 0.25}, {"note", ""}});
  }
  return {{"schema_version", 2}, {"record_id", zolvane::records::newRecordId()},
          {"attempt", 1}, {"previous_record_id", nullptr}, {"host", "test-host"},
          {"test_set", {{"simulated", true}, {"resource", "GPIB0::14::INSTR"}, {"visa", "sim"}}},
          {"serial", serial}, {"station", station}, {"operator", "op"}, {"plan", plan},
          {"plan_hash", "fnv1a64:0123456789abcdef"}, {"library_version", "1"},
          {"program_version", "1"}, {"start", start}, {"duration_s", 12.5},
          {"verdict", verdict}, {"steps", rows}};
}

httplib::Result post(httplib::Client &c, const std::string &body, const std::string &token) {
  httplib::Headers h;
  if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
  return c.Post("/api/v1/records", h, body, "application/json");
}

}  // namespace line_test
