// The forwarder: the station's database is the outbox, a row is marked only for an id the
// server acknowledged, a server that is down loses and doubles nothing, a malformed record does
// not hold up the others.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>

#include "forward.h"
#include "line_fixture.h"
#include "station_db.h"

using namespace line_test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct Station {
  fs::path folder = fs::temp_directory_path() / ("zolvane-fwd-" + std::to_string(::getpid()) + "-" +
                                                 std::to_string(++made));
  std::string path = (folder / "station.sqlite").string();
  zolvane::records::StationDb db;
  static inline int made = 0;

  Station() {
    fs::create_directories(folder);
    std::string error;
    if (!db.open(path, error)) throw std::runtime_error(error);
  }
  ~Station() { fs::remove_all(folder); }
  void add(int n, const std::string &station = "S1") {
    for (int i = 0; i < n; ++i) {
      json r = record("SN" + std::to_string(i), station, "PASS", "2026-12-08T08:00:00Z");
      std::string error;
      if (!db.addRun(r, error)) throw std::runtime_error(error);
    }
  }
  long long unforwarded() {
    sqlite3 *s = nullptr;
    sqlite3_open(path.c_str(), &s);
    sqlite3_stmt *q = nullptr;
    sqlite3_prepare_v2(s, "SELECT COUNT(*) FROM phone_run WHERE forwarded_at IS NULL", -1, &q, nullptr);
    sqlite3_step(q);
    const long long n = sqlite3_column_int64(q, 0);
    sqlite3_finalize(q);
    sqlite3_close(s);
    return n;
  }
  void exec(const char *sql) {
    sqlite3 *s = nullptr;
    sqlite3_open(path.c_str(), &s);
    sqlite3_exec(s, sql, nullptr, nullptr, nullptr);
    sqlite3_close(s);
  }
};

zolvane::line::ForwardOptions options(const Station &s, const std::string &url) {
  zolvane::line::ForwardOptions o;
  o.db = s.path;
  o.url = url;
  o.token = kToken;
  o.batch = 7;
  o.timeout = std::chrono::seconds(5);
  return o;
}

}  // namespace

TEST(Forwarder, SendsWaitingRecordsOnceAndMarksOnlyWhatTheServerHolds) {
  Station station;
  station.add(30);
  RunningServer line(freshStore("sqlite"));
  zolvane::line::Forwarder f(options(station, line.url()));
  auto p = f.forwardWaiting();
  EXPECT_FALSE(p.failed) << p.error;
  EXPECT_EQ(p.acknowledged, 30u);
  EXPECT_EQ(p.waiting, 0u);
  EXPECT_EQ(line.store.count(), 30);
  station.add(5);
  p = f.forwardWaiting();
  EXPECT_EQ(p.sent, 5u) << "only what waited went";
  EXPECT_EQ(line.store.count(), 35);
}

TEST(Forwarder, ServerDownOrWrongTokenMarksNothing) {
  Station station;
  station.add(10);
  {
    zolvane::line::Forwarder f(options(station, "http://127.0.0.1:1"));
    const auto p = f.forwardWaiting();
    EXPECT_TRUE(p.failed);
    EXPECT_EQ(p.waiting, 10u);
  }
  RunningServer line(freshStore("sqlite"));
  auto o = options(station, line.url());
  o.token = "not-the-token";
  const auto p = zolvane::line::Forwarder(o).forwardWaiting();
  EXPECT_TRUE(p.failed);
  EXPECT_NE(p.error.find("401"), std::string::npos) << p.error;
  EXPECT_EQ(station.unforwarded(), 10);
  EXPECT_EQ(line.store.count(), 0);
}

// A record the server refuses stays waiting and named; the rest still go.
TEST(Forwarder, AMalformedRecordDoesNotHoldUpTheOthers) {
  Station station;
  station.add(20);
  station.exec("UPDATE phone_run SET record_json = '{\"schema_version\": 2}' WHERE rowid = "
               "(SELECT rowid FROM phone_run ORDER BY start, record_id LIMIT 1 OFFSET 3)");
  RunningServer line(freshStore("sqlite"));
  zolvane::line::Forwarder f(options(station, line.url()));
  const auto p = f.forwardWaiting();
  EXPECT_EQ(p.refused, 1u) << p.error;
  EXPECT_EQ(p.waiting, 1u);
  EXPECT_EQ(line.store.count(), 19);
}

// A server that acknowledges only some ids: only those rows are marked.
TEST(Forwarder, MarksOnlyAcknowledgedIds) {
  Station station;
  station.add(6);
  httplib::Server fake;
  fake.Post("/api/v1/records", [](const httplib::Request &q, httplib::Response &res) {
    const json batch = json::parse(q.body);
    json ids = json::array();
    for (std::size_t i = 0; i < batch.size(); i += 2) ids.push_back(batch[i]["record_id"]);
    ids.push_back("00000000-0000-7000-8000-000000000000");  // not of this batch
    res.set_content(json{{"ids", ids}}.dump(), "application/json");
  });
  const int port = fake.bind_to_any_port("127.0.0.1");
  std::thread t([&] { fake.listen_after_bind(); });
  auto o = options(station, "http://127.0.0.1:" + std::to_string(port));
  o.batch = 6;
  {
    zolvane::line::Forwarder f(o);
    f.forwardWaiting();  // acknowledges 3 of 6, then 2 of 3, then 1 of 1: until none wait
  }
  EXPECT_EQ(station.unforwarded(), 0);
  fake.stop();
  t.join();
}

TEST(Forwarder, BackoffDoublesUpToItsBound) {
  using ms = std::chrono::milliseconds;
  const struct {
    unsigned failures;
    double random;
    long long expected;
  } table[] = {{0, 0, 0}, {1, 0, 500}, {2, 0, 1000}, {4, 0, 4000}, {7, 0, 30000},
               {60, 0, 30000}, {1, 0.999, 375}, {60, 0.5, 26250}};
  for (const auto &c : table)
    EXPECT_EQ(zolvane::line::backoff(c.failures, ms(500), ms(30000), c.random).count(), c.expected)
        << c.failures << " " << c.random;
}

// Whatever a server (or something posing as one) answers, nothing is marked that it did not
// acknowledge, and the forwarder neither crashes nor holds an answer of any size.
TEST(Forwarder, HostileAnswersMarkNothing) {
  const struct {
    const char *what;
    int status;
    std::string body;
  } table[] = {
      {"an answer of 20 MiB", 200, "{\"ids\": [\"" + std::string(20u << 20, 'x') + "\"]}"},
      {"not JSON", 200, "<html>proxy login</html>"},
      {"ids not strings", 200, "{\"ids\": [1, null, {}, []]}"},
      {"ids nested deep", 200, "{\"ids\": " + std::string(100000, '[') + std::string(100000, ']') + "}"},
      {"ids of another name", 200, "{\"held\": []}"},
      {"server error", 500, "{}"},
      {"a refusal that names no record", 400, "{\"index\": 99999999999}"},
  };
  for (const auto &c : table) {
    Station station;
    station.add(4);
    httplib::Server fake;
    fake.Post("/api/v1/records", [&](const httplib::Request &, httplib::Response &res) {
      res.status = c.status;
      res.set_content(c.body, "application/json");
    });
    const int port = fake.bind_to_any_port("127.0.0.1");
    std::thread t([&] { fake.listen_after_bind(); });
    {
      zolvane::line::Forwarder f(options(station, "http://127.0.0.1:" + std::to_string(port)));
      const auto p = f.forwardWaiting();
      EXPECT_EQ(p.acknowledged, 0u) << c.what;
      EXPECT_FALSE(!p.failed && p.refused == 0) << c.what << ": reported as success";
    }
    EXPECT_EQ(station.unforwarded(), 4) << c.what;
    fake.stop();
    t.join();
  }
}

// A token goes into a header as it is: one that would end the header early or add another is
// refused before anything is sent.
TEST(Forwarder, TokensThatCannotGoIntoAHeaderAreRefused) {
  Station station;
  for (const std::string &token : std::vector<std::string>{"", "abc\r\nX-Admin: 1", "abc\ndef", " lead", "trail ",
                                  "tab\there", std::string("nul\0x", 5), "caf\xc3\xa9"}) {
    auto o = options(station, "http://127.0.0.1:1");
    o.token = token;
    EXPECT_THROW(zolvane::line::Forwarder{o}, std::runtime_error) << token;
  }
  auto o = options(station, "http://127.0.0.1:1");
  o.token = "Abc-123_~.+/=";
  EXPECT_NO_THROW(zolvane::line::Forwarder{o});
}
