// A station for the fault tests: writes phone runs into its database until it holds `count`,
// `delay_ms` apart, as the phone-test program does (one transaction per phone). Started again
// after a kill, it goes on from what the database holds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "record_schema.h"
#include "station_db.h"

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: line_station_writer DB STATION COUNT DELAY_MS\n");
    return 2;
  }
  const std::string path = argv[1], station = argv[2];
  const int count = std::atoi(argv[3]), delay = std::atoi(argv[4]);
  zolvane::records::StationDb db;
  std::string error;
  if (!db.open(path, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  int held = 0;
  db.forEachRecord("", [&](const nlohmann::json &) { return ++held, true; }, error);
  std::mt19937 random(std::random_device{}());
  for (int i = held; i < count; ++i) {
    const bool fail = random() % 10 == 0;
    nlohmann::json steps = nlohmann::json::array();
    for (int s = 1; s <= 23; ++s)
      steps.push_back({{"index", s}, {"name", "Step " + std::to_string(s)}, {"value", 1.0 + s},
                       {"unit", "dBm"}, {"low", 0.0}, {"high", 100.0},
                       {"verdict", fail && s == 7 ? "FAIL" : "PASS"}, {"seconds", 0.01}, {"note", ""}});
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    char start[32];
    std::strftime(start, sizeof start, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
    nlohmann::json r = {
        {"schema_version", 2}, {"record_id", zolvane::records::newRecordId()},
        {"host", "fault-test"},
        {"test_set", {{"simulated", true}, {"resource", "GPIB0::14::INSTR"}, {"visa", "sim"}}},
        {"serial", station + "-" + std::to_string(i)}, {"station", station}, {"operator", "ci"},
        {"plan", "default"}, {"plan_hash", "fnv1a64:0"}, {"library_version", "1"},
        {"program_version", "1"}, {"start", start}, {"duration_s", 0.3},
        {"verdict", fail ? "FAIL" : "PASS"}, {"steps", steps}};
    if (!db.addRun(r, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  }
  return 0;
}
