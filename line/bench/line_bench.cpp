// zolvane_line_bench: the line server's figures, printed with what they were measured on.
//   ingest   records/s into PostgreSQL over HTTP, 23 steps a record, batches of 100
//   store    a generated store of N records: the line page, the Pareto and the yield API over
//            the last day and the last 30 days, p50/p95/max of each
//   catchup  one station database with M waiting records forwarded to the server
// Each part makes a database of its own in the PostgreSQL cluster named by --pg (README.md beside
// this file: run.sh starts a throwaway one). A part that fails (a request refused, a record
// missing) makes the program exit 1; a missed goal is printed, never a failure.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "db.h"
#include "forward.h"
#include "record_schema.h"
#include "run_record.h"
#include "server.h"
#include "station_db.h"
#include "store.h"

namespace {

using namespace zolvane::line;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr const char *kToken = "bench-token";
constexpr int kSteps = 23;

double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

[[noreturn]] void fail(const std::string &why) { throw std::runtime_error(why); }

// "postgresql://u@h:p/db" with another database.
std::string withDatabase(const std::string &url, const std::string &db) {
  const auto slash = url.rfind('/');
  const auto query = url.find('?', slash);
  return url.substr(0, slash + 1) + db + (query == std::string::npos ? "" : url.substr(query));
}

// A database of the bench's own, made afresh.
std::string freshDatabase(const std::string &url, const std::string &name) {
  auto admin = openPostgres(withDatabase(url, "postgres"));
  admin->exec("DROP DATABASE IF EXISTS " + name);
  admin->exec("CREATE DATABASE " + name);
  return withDatabase(url, name);
}

std::string one(Db &db, const std::string &sql) {
  std::string out;
  db.query(sql, {}, [&](const Row &r) { out = r[0].value_or(""); });
  return out;
}

std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown CPU";
}

void printMachine(const std::string &url) {
  auto db = openPostgres(withDatabase(url, "postgres"));
  std::printf("measured on: %s, %u cores; %s\n", cpuModel().c_str(),
              std::thread::hardware_concurrency(), one(*db, "SELECT version()").c_str());
  std::printf("PostgreSQL settings:");
  for (const char *s : {"fsync", "synchronous_commit", "full_page_writes", "shared_buffers",
                        "work_mem", "max_wal_size"})
    std::printf(" %s=%s", s, one(*db, std::string("SHOW ") + s).c_str());
  std::printf("\n");
#ifdef NDEBUG
  std::printf("build: optimized (NDEBUG)\n");
#else
  std::printf("build: not optimized (no NDEBUG): figures are low\n");
#endif
}

// The line server on a free port of 127.0.0.1, in this process.
struct Server {
  Store store;
  LineServer server;
  int port = -1;
  std::thread thread;
  explicit Server(const std::string &url) : store(url, 8), server(store, [] {
    ServerOptions o;
    o.token = kToken;
    return o;
  }()) {
    store.migrate();
    port = server.bind("127.0.0.1", 0);
    if (port <= 0) fail("no free port");
    thread = std::thread([this] { server.run(); });
  }
  ~Server() {
    server.stop();
    thread.join();
  }
  std::unique_ptr<httplib::Client> client() const {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
    c->set_keep_alive(true);
    c->set_tcp_nodelay(true);
    c->set_read_timeout(120, 0);
    return c;
  }
};

std::string utcText(std::chrono::system_clock::time_point t) {
  const std::time_t s = std::chrono::system_clock::to_time_t(t);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()) % 1000;
  std::tm tm{};
  gmtime_r(&s, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms.count()));
  return buf;
}

// A schema-2 record of 23 steps, as a station writes it.
json record(std::size_t n, std::chrono::system_clock::time_point start) {
  json steps = json::array();
  const bool failed = n % 17 == 3;
  for (int i = 1; i <= kSteps; ++i) {
    const double value = failed && i == 9 ? 11.5 : 5.0 + static_cast<double>((n * 31 + static_cast<std::size_t>(i) * 7) % 100) / 40.0;
    steps.push_back({{"index", i}, {"name", "Step " + std::to_string(i)}, {"value", value},
                     {"unit", "dBm"}, {"low", 0.0}, {"high", 10.0},
                     {"verdict", value <= 10 ? "PASS" : "FAIL"}, {"seconds", 0.4}, {"note", ""}});
  }
  return {{"schema_version", 2}, {"record_id", zolvane::records::newRecordId()},
          {"attempt", 1}, {"previous_record_id", nullptr}, {"host", "bench-host"},
          {"test_set", {{"simulated", true}, {"resource", "GPIB0::14::INSTR"}, {"visa", "sim"},
                        {"simulator", {{"reg_delay", 0}}}}},
          {"serial", "BN" + std::to_string(n)}, {"station", "station-" + std::to_string(n % 20 + 1)},
          {"operator", "bench"}, {"plan", "cdma-full"},
          {"plan_hash", "fnv1a64:0123456789abcdef"}, {"library_version", "1.0.0"},
          {"program_version", "1.0.0"}, {"start", utcText(start)}, {"duration_s", 42.5},
          {"verdict", failed ? "FAIL" : "PASS"}, {"steps", steps}};
}

struct Percentiles {
  double p50 = 0, p95 = 0, max = 0;
};
Percentiles percentiles(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) {
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
  };
  return {at(0.5), at(0.95), v.back()};
}

void post(httplib::Client &c, const std::string &body, std::size_t expect) {
  auto res = c.Post("/api/v1/records", {{"Authorization", std::string("Bearer ") + kToken}}, body,
                    "application/json");
  if (!res) fail("POST failed: " + httplib::to_string(res.error()));
  if (res->status != 200) fail("POST answered " + std::to_string(res->status) + ": " + res->body);
  const json a = json::parse(res->body);
  if (a.at("ids").size() != expect) fail("POST acknowledged " + std::to_string(a.at("ids").size()));
}

// ---- ingest ----

void benchIngest(const std::string &url, std::size_t records, std::size_t batchSize) {
  std::printf("\n== ingest: %zu records of %d steps into PostgreSQL over HTTP, batches of %zu\n",
              records, kSteps, batchSize);
  const auto now = std::chrono::system_clock::now();
  std::size_t made = 0;
  auto batchBody = [&](std::size_t n) {
    json b = json::array();
    for (std::size_t i = 0; i < n; ++i, ++made)
      b.push_back(record(made, now - std::chrono::seconds(records - made)));
    return b.dump();
  };
  Server s(freshDatabase(url, "zl_bench_ingest"));
  auto c = s.client();
  post(*c, batchBody(1), 1);  // the month's partition is made here, outside the timing

  std::vector<double> single;
  for (int i = 0; i < 30; ++i) {
    const std::string body = batchBody(1);
    const auto t = Clock::now();
    post(*c, body, 1);
    single.push_back(msSince(t));
  }
  const auto sp = percentiles(single);
  std::printf("one record a request: p50 %.1f ms, p95 %.1f ms (30 requests)\n", sp.p50, sp.p95);

  // Where a batch's time goes, without HTTP: reading the body, then the store's transaction.
  {
    std::vector<double> reading, storing;
    for (int i = 0; i < 20; ++i) {
      const std::string body = batchBody(batchSize);
      auto t = Clock::now();
      const json batch = json::parse(body);
      std::vector<RunColumns> runs(batch.size());
      std::string why;
      for (std::size_t k = 0; k < batch.size(); ++k)
        if (!readRun(batch[k], runs[k], why)) fail("a bench record refused: " + why);
      reading.push_back(msSince(t));
      t = Clock::now();
      s.store.ingest(runs);
      storing.push_back(msSince(t));
    }
    std::printf("a batch of %zu without HTTP: parse and check p50 %.1f ms, store p50 %.1f ms "
                "(20 batches)\n", batchSize, percentiles(reading).p50, percentiles(storing).p50);
  }

  for (const std::size_t clients : {std::size_t{1}, std::size_t{4}}) {
    const std::size_t batches = records / batchSize / clients;
    std::vector<std::vector<std::string>> bodies(clients);
    for (auto &list : bodies)
      for (std::size_t b = 0; b < batches; ++b) list.push_back(batchBody(batchSize));
    std::vector<std::thread> threads;
    std::vector<std::string> errors(clients);
    const auto t = Clock::now();
    for (std::size_t k = 0; k < clients; ++k) {
      threads.emplace_back([&, k] {
        try {
          auto ck = s.client();
          for (const std::string &body : bodies[k]) post(*ck, body, batchSize);
        } catch (const std::exception &e) {
          errors[k] = e.what();
        }
      });
    }
    for (auto &th : threads) th.join();
    const double ms = msSince(t);
    for (const auto &e : errors)
      if (!e.empty()) fail(e);
    const double n = static_cast<double>(batches * clients * batchSize);
    std::printf("%zu client%s: %.0f records in %.2f s = %.0f records/s (%.0f step rows/s), "
                "%.1f ms a batch (goal >= 5,000 records/s)\n",
                clients, clients > 1 ? "s" : "", n, ms / 1000, n / ms * 1000,
                n * kSteps / ms * 1000, ms / static_cast<double>(batches));
  }
  const long long held = s.store.count();
  if (held != static_cast<long long>(made)) fail("the store holds " + std::to_string(held) +
                                                 " of " + std::to_string(made));
}

// ---- store ----

// N records over the 60 days up to now: 20 stations, two plans; about 6 % of runs FAIL (one step
// out of its limits) and 1 % are ERROR; every 20th run retests the phone of three runs before.
// Each run's steps and its record_json hold the same values (all made from the run's number).
void generate(Db &db, std::size_t records) {
  const auto t = Clock::now();
  db.exec("SET synchronous_commit = off");  // the generator's own session: a bulk load
  for (const char *month : {"-2 month", "-1 month", "0 month", "1 month"}) {
    const std::string m = one(db, std::string("SELECT to_char(date_trunc('month', now() + interval '") +
                                      month + "'), 'YYYY-MM')");
    const std::string next = one(db, std::string("SELECT to_char(date_trunc('month', now() + interval '") +
                                         month + "') + interval '1 month', 'YYYY-MM')");
    db.exec("CREATE TABLE IF NOT EXISTS step_" + m.substr(0, 4) + "_" + m.substr(5, 2) +
            " PARTITION OF step FOR VALUES FROM ('" + m + "') TO ('" + next + "')");
  }
  const std::string span = std::to_string(records);
  constexpr std::size_t kChunk = 25000;
  for (std::size_t from = 0; from < records; from += kChunk) {
    const std::size_t to = std::min(records, from + kChunk) - 1;
    // h: a run's pseudo-random number; kind 0 PASS, 1 FAIL, 2 ERROR.
    const std::string sql =
        "WITH run AS (SELECT n, md5('zl' || n)::uuid::text AS id, "
        "'SN' || lpad((CASE WHEN n % 20 = 7 AND n >= 3 THEN n - 3 ELSE n END)::text, 9, '0') AS serial, "
        "'station-' || lpad((n % 20 + 1)::text, 2, '0') AS station, "
        "CASE WHEN n % 10 < 7 THEN 'cdma-full' ELSE 'cdma-quick' END AS plan, "
        "to_char((now() - interval '60 days' + (n * interval '60 days') / " + span +
        ") AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') AS start, "
        "CASE WHEN (n * 2654435761) % 1000 < 60 THEN 1 WHEN (n * 2654435761) % 1000 >= 990 THEN 2 "
        "ELSE 0 END AS kind, (n * 2654435761) % 23 + 1 AS bad "
        "FROM generate_series(" + std::to_string(from) + "::bigint, " + std::to_string(to) +
        "::bigint) n), "
        "st AS (SELECT run.*, i, 'Step ' || lpad(i::text, 2, '0') AS name, "
        "CASE WHEN kind = 1 AND i = bad THEN 11.5 ELSE "
        "2.5 + ((n * 23 + i) * 2654435761 % 1000003) / 200000.0 END AS value FROM run, "
        "generate_series(1, 23) i), "
        "ins AS (INSERT INTO step (record_id, start, idx, name, value, unit, low, high, verdict, "
        "seconds, note) SELECT id, start, i, name, value, 'dBm', 0, 10, "
        "CASE WHEN value > 10 THEN 'FAIL' ELSE 'PASS' END, 0.4, '' FROM st) "
        "INSERT INTO phone_run (record_id, serial, station, operator, plan, plan_hash, host, start, "
        "duration_s, verdict, attempt, simulated, record_json, received_at) "
        "SELECT id, serial, station, 'op', plan, 'fnv1a64:0123456789abcdef', 'host-' || station, "
        "start, 42.5, CASE kind WHEN 1 THEN 'FAIL' WHEN 2 THEN 'ERROR' ELSE 'PASS' END, "
        "CASE WHEN n % 20 = 7 THEN 2 ELSE 1 END, 1, "
        "format('{\"schema_version\":2,\"record_id\":\"%s\",\"attempt\":%s,\"previous_record_id\":null,"
        "\"host\":\"host-%s\",\"test_set\":{\"simulated\":true,\"resource\":\"GPIB0::14::INSTR\","
        "\"visa\":\"sim\",\"simulator\":{}},\"serial\":\"%s\",\"station\":\"%s\",\"operator\":\"op\","
        "\"plan\":\"%s\",\"plan_hash\":\"fnv1a64:0123456789abcdef\",\"library_version\":\"1.0.0\","
        "\"program_version\":\"1.0.0\",\"start\":\"%s\",\"duration_s\":42.5,\"verdict\":\"%s\","
        "\"steps\":[%s]}', id, CASE WHEN n % 20 = 7 THEN 2 ELSE 1 END, station, serial, station, "
        "plan, start, CASE kind WHEN 1 THEN 'FAIL' WHEN 2 THEN 'ERROR' ELSE 'PASS' END, "
        "string_agg(format('{\"index\":%s,\"name\":\"%s\",\"value\":%s,\"unit\":\"dBm\",\"low\":0,"
        "\"high\":10,\"verdict\":\"%s\",\"seconds\":0.4,\"note\":\"\"}', i, name, value, "
        "CASE WHEN value > 10 THEN 'FAIL' ELSE 'PASS' END), ',' ORDER BY i)), start "
        "FROM st GROUP BY n, id, serial, station, plan, start, kind";
    db.exec(sql);
    std::printf("%s  generated %zu of %zu records (%.0f s)", isatty(1) ? "\r" : "\n", to + 1,
                records, msSince(t) / 1000);
    std::fflush(stdout);
  }
  db.exec("INSERT INTO station (name, last_start, runs) SELECT station, MAX(start), COUNT(*) "
          "FROM phone_run GROUP BY station");
  db.exec(kMarkFirstAttempts);  // what ingest keeps up to date as runs arrive
  db.exec("VACUUM ANALYZE");
  std::printf("\n  generated in %.1f s; the database takes %s\n", msSince(t) / 1000,
              one(db, "SELECT pg_size_pretty(pg_database_size(current_database()))").c_str());
}

void benchStore(const std::string &url, std::size_t records, int repeat, bool keep) {
  std::printf("\n== store: %zu records (%zu step rows) over 60 days, 20 stations; %d timed "
              "requests each after one untimed\n",
              records, records * kSteps, repeat);
  std::string store;
  {
    auto admin = openPostgres(withDatabase(url, "postgres"));
    bool have = false;
    admin->query("SELECT 1 FROM pg_database WHERE datname = 'zl_bench_store'", {},
                 [&](const Row &) { have = true; });
    if (keep && have) {
      store = withDatabase(url, "zl_bench_store");
      auto db = openPostgres(store);
      if (one(*db, "SELECT COUNT(*) FROM phone_run") != std::to_string(records)) have = false;
      else std::printf("  the store of an earlier run is reused (--keep)\n");
    }
    if (!(keep && have)) {
      store = freshDatabase(url, "zl_bench_store");
      Store(store, 1).migrate();
      auto db = openPostgres(store);
      generate(*db, records);
    }
  }
  Server s(store);
  // The later migration (if any) ran in Server; statistics again after it.
  openPostgres(store)->exec("ANALYZE");
  auto c = s.client();
  const auto now = std::chrono::system_clock::now();
  const std::string to = utcText(now);
  const std::pair<const char *, std::chrono::hours> spans[] = {{"1 day", std::chrono::hours(24)},
                                                               {"30 days", std::chrono::hours(24 * 30)}};
  const std::pair<const char *, const char *> views[] = {
      {"line page /", "/"},
      {"Pareto page /pareto", "/pareto"},
      {"yield API by station", "/api/v1/yield?group_by=station"},
      {"yield API by hour", "/api/v1/yield?group_by=hour"},
      {"Pareto API", "/api/v1/pareto"},
  };
  for (const auto &[spanName, span] : spans) {
    const std::string from = utcText(now - span);
    long long runs = 0;
    openPostgres(store)->query("SELECT COUNT(*) FROM phone_run WHERE start >= $1 AND start < $2",
                               {from, to}, [&](const Row &r) { runs = std::stoll(*r[0]); });
    std::printf("-- over %s (%lld runs)\n", spanName, runs);
    for (const auto &[name, path] : views) {
      const std::string target = std::string(path) + (std::string(path).find('?') == std::string::npos ? "?" : "&") +
                                 "from=" + httplib::detail::encode_query_param(from) +
                                 "&to=" + httplib::detail::encode_query_param(to);
      std::vector<double> ms;
      for (int i = 0; i <= repeat; ++i) {
        const auto t = Clock::now();
        auto res = c->Get(target);
        if (!res || res->status != 200)
          fail(std::string("GET ") + target + ": " +
               (res ? std::to_string(res->status) + " " + res->body.substr(0, 300)
                    : httplib::to_string(res.error())));
        if (i > 0) ms.push_back(msSince(t));
      }
      const auto p = percentiles(ms);
      std::printf("  %-24s p50 %7.1f ms  p95 %7.1f ms  max %7.1f ms%s\n", name, p.p50, p.p95,
                  p.max, p.p95 < 300 ? "" : "  (goal p95 < 300 ms missed)");
    }
  }
}

// ---- catch-up ----

void benchCatchup(const std::string &url, std::size_t records, std::size_t batchSize) {
  std::printf("\n== catch-up: one station database with %zu waiting records of %d steps, "
              "forwarded in batches of %zu\n", records, kSteps, batchSize);
  char tmpl[] = "/tmp/zolvane-line-bench-XXXXXX";
  if (!mkdtemp(tmpl)) fail("mkdtemp");
  const std::string folder = tmpl;
  struct Remove {
    std::string f;
    ~Remove() { std::filesystem::remove_all(f); }
  } remove{folder};
  const std::string path = folder + "/station.sqlite";
  {
    zolvane::records::StationDb db;
    std::string why;
    bool added = false;
    if (!db.open(path, why) || !db.begin(why)) fail(why);
    const auto now = std::chrono::system_clock::now();
    for (std::size_t n = 0; n < records; ++n) {
      json r = record(n, now - std::chrono::seconds(records - n));
      r["station"] = "station-catchup";
      if (!db.importRecord(r, added, why)) fail(why);
    }
    if (!db.commit(why)) fail(why);
  }
  Server s(freshDatabase(url, "zl_bench_catchup"));
  ForwardOptions o;
  o.db = path;
  o.url = "http://127.0.0.1:" + std::to_string(s.port);
  o.token = kToken;
  o.batch = batchSize;
  Forwarder f(o);
  const auto t = Clock::now();
  const ForwardPass p = f.forwardWaiting();
  const double ms = msSince(t);
  if (p.failed || p.waiting != 0 || s.store.count() != static_cast<long long>(records))
    fail("catch-up left " + std::to_string(p.waiting) + " waiting: " + p.error);
  std::printf("forwarded %zu records in %.2f s = %.0f records/s (goal < 10 s)\n", p.acknowledged,
              ms / 1000, static_cast<double>(p.acknowledged) / ms * 1000);
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"The line server's benchmark: ingest, page and API latency, catch-up"};
  std::string url, parts = "ingest,store,catchup";
  std::size_t records = 200000, ingest = 20000, catchup = 10000, batch = 100;
  int repeat = 20;
  bool keep = false;
  app.add_option("--pg", url, "postgresql://USER@HOST:PORT/DB of a cluster the bench may fill")->required();
  app.add_option("--parts", parts, "Which parts, comma-separated")->capture_default_str();
  app.add_option("--records", records, "Records in the store part")->capture_default_str()
      ->check(CLI::Range(std::size_t{1000}, std::size_t{100000000}));
  app.add_option("--ingest-records", ingest, "Records posted in the ingest part")->capture_default_str()
      ->check(CLI::Range(std::size_t{400}, std::size_t{10000000}));
  app.add_option("--catchup-records", catchup, "Waiting records in the catch-up part")->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{10000000}));
  app.add_option("--batch", batch, "Records a request")->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{5000}));
  app.add_option("--repeat", repeat, "Timed requests of each view")->capture_default_str()
      ->check(CLI::Range(1, 10000));
  app.add_flag("--keep", keep, "Reuse the store of an earlier run of the same size");
  CLI11_PARSE(app, argc, argv);
  try {
    printMachine(url);
    const auto t = Clock::now();
    if (parts.find("ingest") != std::string::npos) benchIngest(url, ingest, batch);
    if (parts.find("store") != std::string::npos) benchStore(url, records, repeat, keep);
    if (parts.find("catchup") != std::string::npos) benchCatchup(url, catchup, batch);
    std::printf("\nzolvane_line_bench: done in %.1f s\n", msSince(t) / 1000);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "\nzolvane_line_bench: FAILED: %s\n", e.what());
    return 1;
  }
  return 0;
}
