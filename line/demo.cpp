#include "demo.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

#include <nlohmann/json.hpp>

#include "forward.h"
#include "line_time.h"
#include "record_schema.h"
#include "server.h"
#include "station_db.h"
#include "store.h"

namespace zolvane::line {
namespace {

std::atomic<bool> stopping{false};

// A station's steps: name, unit, low, high, mean, spread.
struct StepModel {
  const char *name, *unit;
  std::optional<double> low, high;
  double mean, sd;
};
const StepModel kSteps[] = {
    {"Wait for registration", "s", std::nullopt, 10.0, 2.0, 0.4},
    {"Maximum power, band 0 ch 384", "dBm", 23.0, 30.0, 24.5, 0.5},
    {"Minimum power, band 0 ch 384", "dBm", std::nullopt, -50.0, -56.5, 1.2},
    {"FER, band 0 ch 384", "%", std::nullopt, 0.5, 0.05, 0.04},
    {"Rolop power, band 0 ch 384", "dBm", -17.5, 1.5, -7.9, 1.5},
};

// One station: its phones, simulated here; `weak` phones fail more, `drift` moves its test
// set's power readings up over the run.
void station(const std::string &db, const std::string &name, bool weak, bool drift, int phones,
             Forwarder &forwarder) {
  records::StationDb station;
  std::string error;
  if (!station.open(db, error)) {
    std::fprintf(stderr, "demo: %s\n", error.c_str());
    return;
  }
  std::mt19937 random(std::hash<std::string>()(name));
  for (int i = 0; (phones == 0 || i < phones) && !stopping; ++i) {
    const std::string serial = "DEMO" + std::to_string(100000 + random() % 400);
    nlohmann::json steps = nlohmann::json::array();
    std::string verdict = "PASS";
    int index = 0;
    for (const StepModel &m : kSteps) {
      double v = std::normal_distribution<double>(m.mean, m.sd * (weak ? 3.0 : 1.0))(random);
      if (drift && std::string(m.unit) == "dBm") v += 0.02 * i;
      const bool ok = (!m.low || v >= *m.low) && (!m.high || v <= *m.high);
      if (!ok) verdict = "FAIL";
      steps.push_back({{"index", ++index}, {"name", m.name}, {"value", v}, {"unit", m.unit},
                       {"low", m.low ? nlohmann::json(*m.low) : nlohmann::json()},
                       {"high", m.high ? nlohmann::json(*m.high) : nlohmann::json()},
                       {"verdict", ok ? "PASS" : "FAIL"}, {"seconds", 0.2}, {"note", ""}});
    }
    if (random() % 60 == 0) verdict = "ERROR";
    nlohmann::json r = {
        {"schema_version", records::kSchemaVersion}, {"record_id", records::newRecordId()},
        {"host", "demo"},
        {"test_set", {{"simulated", true}, {"resource", "GPIB0::14::INSTR"}, {"visa", "demo"}}},
        {"serial", serial}, {"station", name}, {"operator", "demo"}, {"plan", "default"},
        {"plan_hash", "fnv1a64:0000000000000000"}, {"library_version", "demo"},
        {"program_version", "demo"}, {"start", utcText(std::chrono::system_clock::now())},
        {"duration_s", 20.0 + std::normal_distribution<double>(0, 1.5)(random)},
        {"verdict", verdict}, {"steps", steps}};
    if (!station.addRun(r, error)) std::fprintf(stderr, "demo: %s\n", error.c_str());
    forwarder.wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(400 + random() % 800));
  }
}

}  // namespace

int runDemo(const DemoOptions &o) {
  namespace fs = std::filesystem;
  std::string folder = o.folder;
  if (folder.empty()) {
    std::string tmpl = (fs::temp_directory_path() / "zolvane-line-demo-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
      std::perror("demo: mkdtemp");
      return 1;
    }
    folder = tmpl;
  }
  fs::create_directories(folder);
  const auto colon = o.listen.rfind(':');
  if (colon == std::string::npos) {
    std::fprintf(stderr, "demo: --listen is HOST:PORT\n");
    return 2;
  }
  const std::string host = o.listen.substr(0, colon);
  const int port = std::atoi(o.listen.c_str() + colon + 1);

  Store store("sqlite:" + folder + "/line.sqlite", 4);
  store.migrate();
  ServerOptions so;
  so.token = records::newRecordId();  // this process's own
  so.refreshSeconds = 5;
  so.quietMinutes = 1;
  LineServer server(store, so);
  const int bound = server.bind(host, port);
  if (bound < 0) {
    std::fprintf(stderr, "demo: cannot listen on %s\n", o.listen.c_str());
    return 1;
  }
  std::thread http([&] { server.run(); });
  std::signal(SIGINT, [](int) { stopping = true; });
  std::signal(SIGTERM, [](int) { stopping = true; });
  const std::string url = "http://" + host + ":" + std::to_string(bound);
  std::printf("zolvane_line demo: open %s/ (stations' databases in %s; Ctrl-C stops)\n",
              url.c_str(), folder.c_str());
  std::fflush(stdout);

  const struct {
    const char *name;
    bool weak, drift;
  } stations[] = {{"station-1", false, false}, {"station-2", true, false},
                  {"station-3", false, true}, {"station-4", false, false}};
  std::vector<std::unique_ptr<Forwarder>> forwarders;
  std::vector<std::thread> threads;
  std::atomic<bool> stopForwarding{false};
  for (const auto &s : stations) {
    const std::string db = folder + "/" + s.name + ".sqlite";
    std::string error;
    records::StationDb create;
    if (!create.open(db, error)) {
      std::fprintf(stderr, "demo: %s\n", error.c_str());
      return 1;
    }
    ForwardOptions fo;
    fo.db = db;
    fo.url = url;
    fo.token = so.token;
    fo.idlePoll = std::chrono::milliseconds(500);
    forwarders.push_back(std::make_unique<Forwarder>(fo));
    Forwarder &f = *forwarders.back();
    threads.emplace_back([&f, &stopForwarding] { f.run(stopForwarding); });
    threads.emplace_back([db, s, &o, &f] { station(db, s.name, s.weak, s.drift, o.phones, f); });
  }
  // The stations' threads end by themselves (--phones) or at Ctrl-C; the forwarders after them.
  for (std::size_t i = 1; i < threads.size(); i += 2) threads[i].join();
  while (!stopping) {  // --phones: keep serving until Ctrl-C, once every record went
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (o.phones > 0 && store.count() >= static_cast<long long>(o.phones) * 4) {
      std::printf("zolvane_line demo: all %d records are in; Ctrl-C stops\n", o.phones * 4);
      std::fflush(stdout);
      while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }
  stopForwarding = true;
  for (std::size_t i = 0; i < threads.size(); i += 2) threads[i].join();
  server.stop();
  http.join();
  return 0;
}

}  // namespace zolvane::line
