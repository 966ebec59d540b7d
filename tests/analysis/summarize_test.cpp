#include "summarize.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "records_for_tests.h"
#include "station_db.h"

namespace {

namespace fs = std::filesystem;
using namespace zolvane::analysis;
using nlohmann::json;
using test_records::rec;
using test_records::step;

class Summarize : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/analysis_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string write(const std::string &name, const std::string &text) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  static std::string read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  int run(const SummarizeRequest &rq) {
    std::FILE *o = std::tmpfile(), *e = std::tmpfile();
    const int rc = summarize(rq, o, e);
    out_ = drain(o);
    err_ = drain(e);
    return rc;
  }
  static std::string drain(std::FILE *f) {
    std::string s(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    s.resize(std::fread(s.data(), 1, s.size(), f));
    std::fclose(f);
    return s;
  }
  static bool wellFormed(const std::string &path) {
    return std::system((std::string(ZOLVANE_XMLLINT) + " --noout '" + path + "'").c_str()) == 0;
  }
  fs::path dir_;
  std::string out_, err_;
};

// A torn line (a full disk, two writers) or any line that is not a record is skipped, counted
// and named; only input with lines and not one record, or a file that cannot be read, is exit 2.
TEST_F(Summarize, HostileInput) {
  const std::string good = rec("S1", "PASS", "10:00").dump() + "\n";
  const std::string good2 = rec("S2", "FAIL", "10:01").dump() + "\n";
  struct Case {
    const char *what;
    std::string text;
    int rc;
    const char *err;  // on standard error
    std::size_t records, skipped;
  };
  const Case cases[] = {
      {"torn line, then more records", good + "{\"schema_version\": 1, \"ser\n" + good2, 0,
       "r.jsonl:2: not a JSON line", 2, 1},
      {"torn line with the next record appended to it",
       good + "{\"schema_version\": 1, \"se" + good2 + good2, 0, "r.jsonl:2: not a JSON line", 2,
       1},
      {"unknown schema version", good + R"({"schema_version": 3, "verdict": "PASS"})" "\n", 0,
       "r.jsonl:2: ", 1, 1},
      {"a line over 1 MiB", good + "\"" + std::string(2 << 20, 'x') + "\"\n" + good2, 0,
       "r.jsonl:2: longer than 1 MiB", 2, 1},
      {"deep nesting", good + std::string(400000, '[') + "\n", 0, "r.jsonl:2: not a JSON line",
       1, 1},
      {"CRLF, blank lines, no final line feed", good + "\r\n \n" + good2.substr(0, good2.size() - 1),
       0, "", 2, 0},
      {"empty file", "", 0, "", 0, 0},
      {"not records at all", "serial,verdict\nS1,PASS\n", 2, "not one line is a phone record", 0,
       2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = write("r.jsonl", c.text);
    SummarizeRequest rq;
    rq.files = {path};
    rq.json = true;
    ASSERT_EQ(run(rq), c.rc) << err_;
    EXPECT_NE(err_.find(c.err), std::string::npos) << err_;
    if (c.rc != 0) continue;
    const json j = json::parse(out_);
    EXPECT_EQ(j["runs"], c.records);
    EXPECT_EQ(j["input"]["skipped_lines"], c.skipped);
  }

  SummarizeRequest rq;
  for (const std::string &bad : {(dir_ / "missing.jsonl").string(), dir_.string()}) {
    rq.files = {bad};
    EXPECT_EQ(run(rq), 2);
    EXPECT_NE(err_.find("cannot be read"), std::string::npos) << err_;
  }
  rq.files = {write("r.jsonl", good)};
  rq.since = "yesterday";
  EXPECT_EQ(run(rq), 2);
  EXPECT_NE(err_.find("--since needs a UTC time"), std::string::npos) << err_;
}

// Names from records cannot write markup into the report nor drive the terminal.
TEST_F(Summarize, HostileNames) {
  ASSERT_STRNE(ZOLVANE_XMLLINT, "") << "xmllint is missing: install libxml2-utils";
  const char *names[] = {"<script>alert(1)</script>", "A&B\"'", "</title><svg onload=x>",
                         "\x1b[2J\x07\x9b" "31m", "bad \xC3\x28 utf-8 \xEF\xBF\xBF"};
  std::string lines;
  for (const char *n : names)
    lines += rec(n, "FAIL", "10:00", n, {step(n, 1.0, 2.0, 3.0, "FAIL", n, n)}, 1).dump(
                 -1, ' ', false, json::error_handler_t::ignore) +
             "\n";
  SummarizeRequest rq;
  rq.files = {write("r.jsonl", lines)};
  rq.html = (dir_ / "r.html").string();
  ASSERT_EQ(run(rq), 0) << err_;
  for (const std::string &text : {out_, err_})
    for (char c : text)
      EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
  EXPECT_EQ(out_.find('\x9b'), std::string::npos);
  const std::string html = read(rq.html);
  EXPECT_TRUE(wellFormed(rq.html));
  for (const char *raw : {"<script", "<svg onload", "\x1b", "\xEF\xBF\xBF"})
    EXPECT_EQ(html.find(raw), std::string::npos) << raw;
  EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  rq.json = true;
  ASSERT_EQ(run(rq), 0) << err_;
  EXPECT_EQ(json::parse(out_)["runs"], 5);
}

// The report: who, when, on what; a point per reading with its serial in the tooltip; limits in
// the y-range; ERROR runs marked; nothing from elsewhere; a loud banner for a simulated run.
TEST_F(Summarize, HtmlReport) {
  ASSERT_STRNE(ZOLVANE_XMLLINT, "") << "xmllint is missing: install libxml2-utils";
  std::string lines;
  for (int i = 0; i < 7; ++i) {
    const double p = 23.0 + 0.3 * i;
    lines += rec("SN" + std::to_string(i), i == 3 ? "ERROR" : p > 24.5 ? "FAIL" : "PASS",
                 "10:0" + std::to_string(i), "line-3",
                 {step("Max power", p, 23.0, 30.0, p > 24.5 ? "FAIL" : "PASS")}, 1)
                 .dump() +
             "\n";
  }
  SummarizeRequest rq;
  rq.files = {write("r.jsonl", lines)};
  rq.html = (dir_ / "r.html").string();
  ASSERT_EQ(run(rq), 0) << err_;
  ASSERT_TRUE(wellFormed(rq.html));
  const std::string html = read(rq.html);
  for (const char *ref : {"src=", "href=", "url(", "<script", "@import"})
    EXPECT_EQ(html.find(ref), std::string::npos) << "refers outside: " << ref;
  for (const char *want : {"SIMULATED TEST SET: 7 of 7 runs", "line-3", "ana", "SN6",
                           "2026-12-08 10:00:00Z .. 2026-12-08 10:06:00Z", ">dBm</text>",
                           "start, UTC, 2026-12-08", "<title>SN4, 2026-12-08 10:04:00Z: 24.2 dBm",
                           "class=\"pt err\"", "class=\"errmark\"", "Failing and ERROR phones"})
    EXPECT_NE(html.find(want), std::string::npos) << want;
  const std::size_t chart = html.find("class=\"runs\"");
  const std::string runs = html.substr(chart, html.find("</svg>", chart) - chart);
  std::size_t points = 0, limits = 0;
  for (std::size_t p = runs.find("<circle "); p != std::string::npos; p = runs.find("<circle ", p + 1))
    ++points;
  for (std::size_t p = runs.find("class=\"limit\""); p != std::string::npos;
       p = runs.find("class=\"limit\"", p + 1))
    ++limits;
  EXPECT_EQ(points, 7u);
  EXPECT_EQ(limits, 2u);  // 30 is far above the readings and still inside the y-range
  EXPECT_NE(out_.find("*** SIMULATED TEST SET"), std::string::npos) << out_;
  EXPECT_NE(out_.find("First-pass yield: 83.33 % (5 of 6"), std::string::npos) << out_;
}

// The station database, read only: the same figures as its records; a wrong path creates nothing.
TEST_F(Summarize, StationDatabase) {
  if (!canReadDatabases()) GTEST_FAIL() << "this build cannot read station databases";
  const std::string path = (dir_ / "station.sqlite").string();
  {
    zolvane::records::StationDb db;
    std::string error;
    ASSERT_TRUE(db.open(path, error)) << error;
    for (json r : {rec("S1", "FAIL", "10:00", "A", {}, 1), rec("S1", "PASS", "10:01", "A", {}, 1),
                   rec("S2", "PASS", "10:02", "B", {}, 1)})
      ASSERT_TRUE(db.addRun(r, error)) << error;
  }
  SummarizeRequest rq;
  rq.db = path;
  rq.json = true;
  rq.station = "A";
  ASSERT_EQ(run(rq), 0) << err_;
  const json j = json::parse(out_);
  EXPECT_EQ(j["runs"], 2);
  EXPECT_EQ(j["retests"], 1);
  EXPECT_EQ(j["first_pass_yield"], 0.0);
  EXPECT_EQ(j["input"]["filtered_out"], 1);

  rq.db = (dir_ / "typo.sqlite").string();
  EXPECT_EQ(run(rq), 2);
  EXPECT_FALSE(fs::exists(rq.db));
}

}  // namespace
