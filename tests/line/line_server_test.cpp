// The line server over each store (SQLite and a real PostgreSQL): yields of a set worked out by
// hand, ingest that is all-or-nothing and idempotent under concurrent posts, hostile input, and
// text that would be SQL or HTML if it were pasted anywhere.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "line_fixture.h"
#include "line_time.h"

using namespace line_test;
using nlohmann::json;

namespace {
std::string encoded(const std::string &s) {  // every byte but letters and digits as %XX
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c)) {
      out += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}
}  // namespace

class LineServerTest : public ::testing::TestWithParam<std::string> {
 protected:
  RunningServer line{freshStore(GetParam())};
  httplib::Client http = line.client();

  json get(const std::string &path, int status = 200) {
    auto r = http.Get(path);
    EXPECT_TRUE(r) << path;
    if (!r) return json();
    EXPECT_EQ(r->status, status) << path << ": " << r->body;
    return json::parse(r->body, nullptr, false);
  }
  void ingest(const json &batch) {
    auto r = post(http, batch.dump());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
  }
};

// Station A: SN1 FAIL then PASS (a retest), SN2 PASS, SN3 FAIL, SN4 ERROR only.
// Station B: SN1 PASS (its third attempt on the line), SN5 ERROR then PASS, SN6 FAIL twice.
// They arrive out of order, the later attempts first (a station that was away catches up late).
TEST_P(LineServerTest, YieldsOfAConstructedSetAsWorkedOutByHand) {
  const json runs = json::array({
      record("SN1", "A", "FAIL", "2026-12-08T08:00:00Z"),
      record("SN1", "A", "PASS", "2026-12-08T08:10:00Z"),
      record("SN2", "A", "PASS", "2026-12-08T08:20:00Z"),
      record("SN3", "A", "FAIL", "2026-12-08T09:00:00Z", {{"Power", 11}}),
      record("SN4", "A", "ERROR", "2026-12-08T09:10:00Z"),
      record("SN1", "B", "PASS", "2026-12-08T09:20:00Z"),
      record("SN5", "B", "ERROR", "2026-12-08T09:30:00Z"),
      record("SN5", "B", "PASS", "2026-12-08T09:40:00+01:00"),  // 08:40 UTC
      record("SN6", "B", "FAIL", "2026-12-09T10:00:00Z", {{"Power", -1}}),
      record("SN6", "B", "FAIL", "2026-12-09T10:05:00Z", {{"Power", -2}}),
  });
  for (const auto &[from, to] : {std::pair{6, 10}, {3, 6}, {0, 3}})
    ingest(json(std::vector<json>(runs.begin() + from, runs.begin() + to)));
  struct Expected {
    const char *query, *key;
    int runs, firstAttempts;
    double firstPass, final;
    int retests, errors;
  };
  const Expected table[] = {
      // A: first attempts SN1 F, SN2 P, SN3 F -> 1/3; last: SN1 P, SN2 P, SN3 F -> 2/3.
      {"group_by=station", "A", 5, 3, 1.0 / 3, 2.0 / 3, 1, 1},
      // B: SN1's first attempt was on A; SN5's is PASS, SN6's FAIL -> 1/2; last: 2/3.
      {"group_by=station", "B", 5, 2, 1.0 / 2, 2.0 / 3, 2, 1},
      // SN1 F (A) first, P (B) last; SN2 P; SN3 F; SN5 P (its ERROR is the station's).
      {"group_by=day", "2026-12-08", 8, 4, 2.0 / 4, 3.0 / 4, 2, 2},
      {"group_by=day", "2026-12-09", 2, 1, 0.0, 0.0, 1, 0},
      {"group_by=hour", "2026-12-08T08", 4, 3, 2.0 / 3, 3.0 / 3, 1, 0},
      {"group_by=plan&station=B", "default", 5, 2, 1.0 / 2, 2.0 / 3, 2, 1},
      {"group_by=station&from=2026-12-08T09:00:00Z&to=2026-12-09", "A", 2, 1, 0.0, 0.0, 0, 1},
  };
  for (const Expected &e : table) {
    const json groups = get(std::string("/api/v1/yield?") + e.query)["groups"];
    const auto g = std::find_if(groups.begin(), groups.end(),
                                [&](const json &x) { return x["key"] == e.key; });
    ASSERT_NE(g, groups.end()) << e.query << " " << e.key;
    SCOPED_TRACE(std::string(e.query) + " " + e.key);
    EXPECT_EQ((*g)["runs"], e.runs);
    EXPECT_EQ((*g)["first_attempts"], e.firstAttempts);
    EXPECT_NEAR((*g)["first_pass_yield"].get<double>(), e.firstPass, 1e-12);
    EXPECT_NEAR((*g)["final_yield"].get<double>(), e.final, 1e-12);
    EXPECT_EQ((*g)["retests"], e.retests);
    EXPECT_EQ((*g)["station_errors"], e.errors);
  }
  // Pareto: Power failed on SN3 (once) and SN6 (twice): two phones, three failures.
  const json pareto = get("/api/v1/pareto?from=2026-12-01")["steps"];
  ASSERT_EQ(pareto.size(), 1u);
  EXPECT_EQ(pareto[0]["failing_phones"], 2);
  EXPECT_EQ(pareto[0]["failures"], 3);
  // Step statistics of B's Power: 5, 5, 5, -1, -2 -> mean 2.4, sample sd sqrt(50.2/4)... by hand:
  // deviations 2.6 x3, -3.4, -4.4 -> squares 6.76 x3 + 11.56 + 19.36 = 51.2; / 4 = 12.8.
  const json b = get("/api/v1/steps/Power/stats?station=B")["stations"];
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0]["count"], 5);
  EXPECT_NEAR(b[0]["mean"].get<double>(), 2.4, 1e-12);
  EXPECT_NEAR(b[0]["std_dev"].get<double>(), std::sqrt(12.8), 1e-12);
  EXPECT_NEAR(b[0]["cpk"].get<double>(), 2.4 / (3 * std::sqrt(12.8)), 1e-12);
  // A serial's history: every attempt at every station, oldest first.
  const json sn1 = get("/api/v1/serials/SN1")["attempts"];
  ASSERT_EQ(sn1.size(), 3u);
  EXPECT_EQ(sn1[0]["verdict"], "FAIL");
  EXPECT_EQ(sn1[2]["station"], "B");
  get("/api/v1/serials/nobody", 404);
  // The page shows the same figures (the analysis library's four significant figures).
  auto page = http.Get("/?from=2026-12-08&to=2026-12-10&refresh=0");
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200);
  for (const char *figure : {"33.33 %", "66.67 %", "50 %"})
    EXPECT_NE(page->body.find(figure), std::string::npos) << figure;
}

// Every refusal stores nothing, whatever came before the bad part.
TEST_P(LineServerTest, HostileIngestIsRefusedWholeAndStoresNothing) {
  const std::string good = json::array({record("SN1", "A", "PASS", "2026-12-08T08:00:00Z")}).dump();
  json badMiddle = json::array({record("SN1", "A", "PASS", "2026-12-08T08:00:00Z"),
                                record("SN2", "A", "PASS", "yesterday"),
                                record("SN3", "A", "PASS", "2026-12-08T08:00:00Z")});
  json version3 = json::array({record("SN1", "A", "PASS", "2026-12-08T08:00:00Z")});
  version3[0]["schema_version"] = 3;
  json noSerial = json::array({record("", "A", "PASS", "2026-12-08T08:00:00Z")});
  json manySteps = json::array({record("SN1", "A", "PASS", "2026-12-08T08:00:00Z",
                                       std::vector<std::pair<std::string, double>>(1001, {"x", 1}))});
  const struct {
    const char *name;
    std::string body, token;
    int status;
  } table[] = {
      {"no token", good, "", 401},
      {"wrong token", good, "line-test-tokem", 401},
      {"a prefix of the token", good, "line-test", 401},
      {"the token and more", good, std::string(kToken) + "x", 401},
      {"not JSON", "[{\"serial\": ", kToken, 400},
      {"not an array", good.substr(1, good.size() - 2), kToken, 400},
      {"nested 100000 deep", std::string(100000, '[') + std::string(100000, ']'), kToken, 400},
      {"a bad record in the middle", badMiddle.dump(), kToken, 400},
      {"schema version 3", version3.dump(), kToken, 400},
      {"no serial", noSerial.dump(), kToken, 400},
      {"1001 steps", manySteps.dump(), kToken, 400},
      {"over the body limit", "[" + std::string(17 * 1024 * 1024, ' ') + "]", kToken, 413},
  };
  for (const auto &c : table) {
    auto r = post(http, c.body, c.token);
    ASSERT_TRUE(r) << c.name << ": " << httplib::to_string(r.error());
    EXPECT_EQ(r->status, c.status) << c.name << ": " << r->body;
  }
  auto r = post(http, badMiddle.dump());
  ASSERT_TRUE(r);
  const json answer = json::parse(r->body);
  EXPECT_EQ(answer["index"], 1) << "the first bad record is named";
  EXPECT_NE(answer["error"].get<std::string>().find("record 2"), std::string::npos);
  EXPECT_EQ(line.store.count(), 0) << "a refused batch left something behind";
  ingest(json::parse(good));
  EXPECT_EQ(line.store.count(), 1);
}

// Eight posts of the same batch at once: each acknowledges every id, the store holds one copy.
TEST_P(LineServerTest, ConcurrentPostsOfOneBatchStoreEachRecordOnce) {
  json batch = json::array();
  for (int i = 0; i < 60; ++i)
    batch.push_back(record("SN" + std::to_string(i), "A", "PASS", "2026-12-08T08:00:00Z",
                           {{"Power", 1}, {"FER", 2}, {"Current", 3}}));
  batch.push_back(batch[0]);  // the same record twice in one batch
  const std::string body = batch.dump();
  std::vector<std::thread> posts;
  std::vector<json> answers(8);
  for (std::size_t t = 0; t < answers.size(); ++t) {
    posts.emplace_back([&, t] {
      httplib::Client c = line.client();
      auto r = post(c, body);
      if (r && r->status == 200) answers[t] = json::parse(r->body);
    });
  }
  for (auto &t : posts) t.join();
  long long stored = 0;
  for (const json &a : answers) {
    ASSERT_TRUE(a.is_object()) << "a post failed";
    EXPECT_EQ(a["ids"].size(), 60u);
    stored += a["stored"].get<long long>();
  }
  EXPECT_EQ(stored, 60);
  EXPECT_EQ(line.store.count(), 60);
  const json stats = get("/api/v1/steps/FER/stats")["stations"];
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0]["count"], 60) << "steps stored twice";

  // Eight stations posting attempts of the same phones at once: each phone has one first attempt,
  // its earliest, however the posts interleave.
  constexpr int kPhones = 10;
  posts.clear();
  for (int t = 0; t < 8; ++t) {
    posts.emplace_back([&, t] {
      httplib::Client c = line.client();
      for (int p = 0; p < kPhones; ++p)
        post(c, json::array({record("SHARED" + std::to_string(p), "S" + std::to_string(t),
                                    t == 7 ? "PASS" : "FAIL",
                                    "2026-12-07T08:0" + std::to_string(7 - t) + ":00Z")})
                    .dump());
    });
  }
  for (auto &t : posts) t.join();
  const json day = get("/api/v1/yield?group_by=day&from=2026-12-07&to=2026-12-08")["groups"];
  ASSERT_EQ(day.size(), 1u);
  EXPECT_EQ(day[0]["runs"], 8 * kPhones);
  EXPECT_EQ(day[0]["first_attempts"], kPhones) << "a phone with two first attempts";
  EXPECT_EQ(day[0]["first_pass_yield"], 1.0) << "the earliest attempt (S7's PASS) is the first";
}

// Serials, stations and step names that are SQL or HTML come back as the same text, and break
// nothing on the way.
TEST_P(LineServerTest, TextThatIsSqlOrHtmlIsOnlyText) {
  const std::string hostile[] = {"'; DROP TABLE phone_run; --", "x' OR '1'='1",
                                 "<script>alert(1)</script>", "$1", "a\"b\\c", "ünï/cödé %41"};
  json batch = json::array();
  for (const std::string &h : hostile)
    batch.push_back(record(h, h, "FAIL", "2026-12-08T08:00:00Z", {{h, 20}}));
  ingest(batch);
  EXPECT_EQ(line.store.count(), std::size(hostile));
  for (const std::string &h : hostile) {
    SCOPED_TRACE(h);
    const std::string path = encoded(h);
    const json attempts = get("/api/v1/serials/" + path)["attempts"];
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0]["serial"], h);
    const json stats = get("/api/v1/steps/" + path + "/stats")["stations"];
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0]["station"], h);
    const json y = get("/api/v1/yield?station=" + path)["groups"];
    ASSERT_EQ(y.size(), 1u);
    EXPECT_EQ(y[0]["key"], h);
  }
  // Every page shows the text, escaped.
  for (const std::string &path : std::vector<std::string>{"/?span=3650d", "/pareto?span=3650d",
                                 "/steps/" + encoded(hostile[2]) + "?span=3650d",
                                 "/serials/" + encoded(hostile[2])}) {
    auto r = http.Get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << path;
    EXPECT_EQ(r->body.find("<script>"), std::string::npos) << path;
    EXPECT_NE(r->body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos) << path;
  }
  // The CSV export: quoted, and never a formula for a spreadsheet.
  auto csv = http.Get("/export.csv?station=" + encoded("a\"b\\c"));
  ASSERT_TRUE(csv);
  EXPECT_NE(csv->body.find("\"a\"\"b\\c\""), std::string::npos) << csv->body;
}

// Step rows go to PostgreSQL by COPY, whose text form escapes tab, newline, carriage return and
// backslash, and reads \N as NULL: names holding them come back as the same text, a missing value
// stays missing, and every station's count is the runs it sent in the batch.
TEST_P(LineServerTest, StepTextsThatLookLikeCopyEscapesAreOnlyText) {
  const std::string names[] = {"tab\there", "line\nbreak", "cr\rhere", "\\N", "back\\slash\\",
                               "\\t not a tab", "ends\\"};
  json batch = json::array();
  for (std::size_t i = 0; i < std::size(names); ++i) {
    json r = record("SN" + std::to_string(i), i % 2 ? "A" : "B", "PASS", "2026-12-08T08:00:00Z",
                    {{names[i], 20}, {"no value", 5}});
    r["steps"][0]["note"] = names[i];
    r["steps"][1].erase("value");
    batch.push_back(r);
  }
  ingest(batch);
  std::set<std::string> failed;
  const json pareto = get("/api/v1/pareto?from=2026-12-01");
  for (const json &row : pareto["steps"]) {
    EXPECT_EQ(row["failures"], 1) << row;
    failed.insert(row["step"].get<std::string>());
  }
  EXPECT_EQ(failed, std::set<std::string>(std::begin(names), std::end(names)));
  for (const std::string &name : names) {  // every name has its statistics and its page
    SCOPED_TRACE(name);
    const json stats = get("/api/v1/steps/" + encoded(name) + "/stats")["stations"];
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0]["count"], 1);
    auto page = http.Get("/steps/" + encoded(name));
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
  }
  EXPECT_EQ(get("/api/v1/steps/no%20value/stats")["stations"].size(), 0u);
  const json stations = get("/api/v1/stations")["stations"];
  ASSERT_EQ(stations.size(), 2u);
  EXPECT_EQ(stations[0]["runs"], 3);  // "A": the odd ones
  EXPECT_EQ(stations[1]["runs"], 4);
  auto csv = http.Get("/export.csv");
  ASSERT_TRUE(csv);
  EXPECT_NE(csv->body.find("\"line\nbreak\""), std::string::npos);  // the note, as it came
}

// Records come back in pages; many with the same start are neither lost nor repeated at the
// page boundaries.
TEST_P(LineServerTest, RecordsStreamEveryRecordOnceAcrossPages) {
  json batch = json::array();
  std::set<std::string> ids;
  for (int i = 0; i < 2500; ++i) {
    batch.push_back(record("SN" + std::to_string(i), i % 2 ? "A" : "B", "PASS",
                           "2026-12-08T08:00:00Z", {}));
    ids.insert(batch.back()["record_id"].get<std::string>());
  }
  ingest(batch);
  auto r = http.Get("/api/v1/records?since=2026-12-08");
  ASSERT_TRUE(r);
  std::istringstream lines(r->body);
  std::set<std::string> seen;
  std::size_t count = 0;
  for (std::string text; std::getline(lines, text); ++count)
    seen.insert(json::parse(text)["record_id"].get<std::string>());
  EXPECT_EQ(count, 2500u);
  EXPECT_EQ(seen, ids);
  get("/api/v1/records?since=tomorrow", 400);
  get("/api/v1/yield?group_by=operator", 400);
}

INSTANTIATE_TEST_SUITE_P(Stores, LineServerTest, ::testing::Values(std::string("sqlite"), std::string("postgres")),
                         [](const ::testing::TestParamInfo<std::string> &p) { return p.param; });

TEST(LineStore, RefusesAStoreNewerThanItself) {
  const std::string s = freshStore("sqlite");
  zolvane::line::Store store(s, 1);
  store.migrate();
  store.migrate();  // a second start changes nothing
  auto db = zolvane::line::openDb(s);
  db->exec("INSERT INTO line_schema (version) VALUES (99)");
  EXPECT_THROW(store.migrate(), zolvane::line::DbError);
}

TEST(LineTime, TextsOfTime) {
  const std::pair<const char *, const char *> table[] = {
      {"2026-12-08T17:03:40.123Z", "2026-12-08T17:03:40.123Z"},
      {"2026-12-08T17:03:40.1239Z", "2026-12-08T17:03:40.123Z"},
      {"2026-12-08 17:03", "2026-12-08T17:03:00.000Z"},
      {"2026-12-08", "2026-12-08T00:00:00.000Z"},
      {"2026-12-31T23:30:00-01:00", "2027-01-01T00:30:00.000Z"},
      {"2026-03-01T00:30:00+0100", "2026-02-28T23:30:00.000Z"},
      {"2026-02-30", nullptr},   {"2026-12-08T24:00", nullptr}, {"2026-12-08T17:03:40.Z", nullptr},
      {"2026-12-08T17", nullptr}, {"", nullptr},                {"2026-12-08T17:03:40Zjunk", nullptr},
  };
  for (const auto &[in, out] : table) {
    const auto t = zolvane::line::utcText(in);
    if (out) EXPECT_EQ(t.value_or("none"), out) << in;
    else EXPECT_FALSE(t) << in;
  }
}
