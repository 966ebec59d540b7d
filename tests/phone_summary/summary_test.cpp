#include "summary.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using phone_test::summary::summarizeFiles;
using phone_test::summary::Summary;

struct StepSpec {
  const char *name;
  json value, low, high;
  const char *verdict;
};

json step(const StepSpec &s) {
  return {{"index", 1},           {"name", s.name},  {"value", s.value},
          {"unit", "dBm"},        {"low", s.low},    {"high", s.high},
          {"verdict", s.verdict}, {"seconds", 0.05}, {"note", ""}};
}

json record(const char *verdict, std::initializer_list<StepSpec> steps,
            const char *plan = "default") {
  json r = {{"schema_version", 1}, {"serial", "SN1"},
            {"plan", plan},        {"plan_hash", "fnv1a64:0123456789abcdef"},
            {"verdict", verdict},  {"steps", json::array()}};
  for (const StepSpec &s : steps) r["steps"].push_back(step(s));
  return r;
}

const json kNull;

// A temporary folder per test, removed afterwards.
class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/phone_summary_XXXXXX";
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
  // Runs summarizeFiles with its output captured.
  int summarize(const std::vector<std::string> &files, const std::string &html, std::string &out,
                std::string &err) {
    std::FILE *o = std::tmpfile(), *e = std::tmpfile();
    const int rc = summarizeFiles(files, html, o, e);
    out = drain(o);
    err = drain(e);
    return rc;
  }
  static std::string drain(std::FILE *f) {
    std::string s(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    s.resize(std::fread(s.data(), 1, s.size(), f));
    std::fclose(f);
    return s;
  }
  fs::path dir_;
};

TEST(Summary, CountsYieldAndSteps) {
  Summary s;
  // FER has a high limit only; power two limits; "Open" is not measured; "Conn" has a limit
  // but no reading in the FAIL run.
  EXPECT_TRUE(s.add(record("PASS", {{"Open", kNull, kNull, kNull, "PASS"},
                                    {"FER", 0.0, kNull, 0.5, "PASS"},
                                    {"Power", 23.5, 23.0, 30.0, "PASS"}})));
  EXPECT_TRUE(s.add(record("FAIL", {{"Open", kNull, kNull, kNull, "PASS"},
                                    {"Conn", kNull, kNull, 5.0, "FAIL"},
                                    {"Power", 22.5, 23.0, 30.0, "FAIL"}})));
  EXPECT_TRUE(s.add(
      record("PASS", {{"FER", 0.2, kNull, 0.5, "PASS"}, {"Power", 24.5, 23.0, 30.0, "PASS"}})));
  EXPECT_TRUE(s.add(record("ERROR", {{"Power", kNull, 23.0, 30.0, "ERROR"}}, "other")));
  EXPECT_TRUE(s.add(record("ABORTED", {})));

  EXPECT_EQ(s.runs(), 5u);
  EXPECT_EQ(s.passes(), 2u);
  EXPECT_EQ(s.fails(), 1u);
  EXPECT_EQ(s.errors(), 1u);
  EXPECT_EQ(s.aborted(), 1u);
  ASSERT_TRUE(s.yield());
  EXPECT_DOUBLE_EQ(*s.yield(), 2.0 / 3.0);  // ERROR and ABORTED stay out of the yield
  ASSERT_EQ(s.plans().size(), 2u);
  EXPECT_EQ(s.plans()[0].runs, 4u);

  struct Want {
    const char *name;
    std::size_t count, fails;
    double mean;
  };
  const Want want[] = {{"FER", 2, 0, 0.1}, {"Power", 3, 1, 23.5}, {"Conn", 0, 1, 0}};
  ASSERT_EQ(s.steps().size(), std::size(want));
  for (std::size_t i = 0; i < std::size(want); ++i) {
    const Summary::Step &st = s.steps()[i];
    SCOPED_TRACE(want[i].name);
    EXPECT_EQ(st.name, want[i].name);  // first-seen order
    EXPECT_EQ(st.stats.count(), want[i].count);
    EXPECT_EQ(st.fails, want[i].fails);
    if (want[i].count) {
      EXPECT_NEAR(st.stats.mean(), want[i].mean, 1e-12);
    }
  }
  // Readings stay aligned with runs: FER has none in run 2.
  const std::vector<double> &fer = s.steps()[0].values;
  ASSERT_EQ(fer.size(), 3u);
  EXPECT_TRUE(std::isnan(fer[1]));
  EXPECT_EQ(fer[2], 0.2);
}

TEST(Summary, PrintsYieldAndOneSidedCpk) {
  Summary s(false);
  s.add(record("PASS", {{"FER", 0.1, kNull, 0.5, "PASS"}, {"Flat", 1.0, 0.0, 2.0, "PASS"}}));
  s.add(record("PASS", {{"FER", 0.3, kNull, 0.5, "PASS"}, {"Flat", 1.0, 0.0, 2.0, "PASS"}}));
  s.add(record("FAIL", {{"FER", 0.2, kNull, 0.5, "PASS"}, {"Flat", 1.0, 0.0, 2.0, "PASS"}}));
  std::FILE *f = std::tmpfile();
  s.print(f);
  std::string text(static_cast<std::size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  text.resize(std::fread(text.data(), 1, text.size(), f));
  std::fclose(f);

  EXPECT_NE(text.find("Runs: 3  PASS 2  FAIL 1  ERROR 0  ABORTED 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Yield: 66.67 %"), std::string::npos) << text;
  // FER: mean 0.2, sd 0.1, Cpu = (0.5 - 0.2) / 0.3 = 1.00; Flat: no spread, no Cpk.
  EXPECT_NE(text.find("0.1         0.2         0.3         0.1           -         0.5    1.00\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("1           1           1           0           0           2       -\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(s.steps()[0].values.size(), 0u);  // not kept without a report
}

TEST(Summary, LimitsThatVaryGiveNoCpk) {
  Summary s;
  s.add(record("PASS", {{"P", 1.0, 0.0, 2.0, "PASS"}}));
  s.add(record("PASS", {{"P", 1.5, 0.0, 3.0, "PASS"}}));
  ASSERT_EQ(s.steps().size(), 1u);
  EXPECT_TRUE(s.steps()[0].limitsVary);
}

TEST_F(Files, RefusesWhatItCannotCount) {
  const std::string good = record("PASS", {{"P", 1.0, 0.0, 2.0, "PASS"}}).dump() + "\n";
  struct Bad {
    const char *what, *line, *message;
  };
  const Bad cases[] = {
      {"not JSON", "{\"schema_version\": 1, \"verdict\"", ":2: not a JSON line"},
      {"unknown version", R"({"schema_version": 2, "verdict": "PASS"})",
       ":2: unknown schema_version 2"},
      {"version as text", R"({"schema_version": "1", "verdict": "PASS"})",
       ":2: unknown schema_version \"1\""},
      {"no version", R"({"verdict": "PASS"})", ":2: no schema_version"},
      {"not an object", "[1]", ":2: not a JSON object"},
      {"unknown verdict", R"({"schema_version": 1, "verdict": "OK"})", ":2: verdict is not"},
      {"value as text",
       R"({"schema_version": 1, "verdict": "PASS", "steps": [{"name": "P", "value": "1", "verdict": "PASS"}]})",
       ":2: step 1: value is neither"},
  };
  for (const Bad &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = write("r.jsonl", good + c.line + "\n" + good);
    std::string out, err;
    EXPECT_EQ(summarize({path}, "", out, err), 2);
    EXPECT_EQ(err.rfind(path + c.message, 0), 0u) << err;
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
  }

  std::string out, err;
  EXPECT_EQ(summarize({(dir_ / "missing.jsonl").string()}, "", out, err), 2);
  EXPECT_NE(err.find("missing.jsonl: cannot be read"), std::string::npos) << err;
  EXPECT_EQ(summarize({dir_.string()}, "", out, err), 2);
  EXPECT_NE(err.find(": cannot be read: Is a directory"), std::string::npos) << err;

  // Unknown keys, blank lines and several files are fine.
  json extra = record("FAIL", {{"P", 3.0, 0.0, 2.0, "FAIL"}});
  extra["future_key"] = {1, 2};
  const std::string a = write("a.jsonl", good + "\n" + extra.dump() + "\n");
  const std::string b = write("b.jsonl", good);
  EXPECT_EQ(summarize({a, b}, "", out, err), 0) << err;
  EXPECT_NE(out.find("Runs: 3  PASS 2  FAIL 1"), std::string::npos) << out;
}

// The report as an XML parser sees it, and its charts by counting.
TEST_F(Files, HtmlReport) {
  ASSERT_STRNE(ZOLVANE_XMLLINT, "") << "xmllint is missing: install libxml2-utils";
  Summary s;
  const int runs = 7;
  for (int i = 0; i < runs; ++i) {
    const double p = 23.0 + 0.3 * i;
    if (i == 3) {  // a run without a reading for the second step
      s.add(record("ERROR", {{"Power <max> & \"more\"", p, 23.0, 30.0, "PASS"}}));
      continue;
    }
    s.add(record(p > 24.5 ? "FAIL" : "PASS",
                 {{"Power <max> & \"more\"", p, 23.0, 30.0, "PASS"},
                  {"Rolop", -8.0 + 5 * i, kNull, 10.0, p > 24.5 ? "FAIL" : "PASS"},
                  {"Flat", 1.0, kNull, kNull, "PASS"}}));
  }
  const std::string plan =
      "name = \"a <b> & c\"\n# \x01 control, bad UTF-8 \xC3\x28, \xE2\x82\xAC ok\n";
  const std::string path = (dir_ / "report.html").string();
  std::string error;
  ASSERT_TRUE(s.writeHtml(path, plan, error)) << error;
  EXPECT_FALSE(fs::exists(path + ".tmp"));

  const std::string cmd = std::string(ZOLVANE_XMLLINT) + " --noout '" + path + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << "not well-formed";
  const std::string html = read(path);
  for (const char *ref : {"src=", "href=", "url(", "<script", "@import"})
    EXPECT_EQ(html.find(ref), std::string::npos) << "refers outside: " << ref;
  EXPECT_NE(html.find("a &lt;b&gt; &amp; c"), std::string::npos);
  EXPECT_NE(html.find("\xE2\x82\xAC ok"), std::string::npos);

  // Each step has a run chart with one point per reading and a histogram whose bars add up.
  struct Want {
    std::size_t points, outside;
  };
  const Want want[] = {{7, 0}, {6, 3}, {6, 0}};  // Rolop 12, 17 and 22 are above 10
  std::size_t from = 0;
  for (const Want &w : want) {
    const std::size_t start =
        html.find("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"runs\"", from);
    ASSERT_NE(start, std::string::npos);
    const std::size_t end = html.find("</svg>", start);
    const std::string chart = html.substr(start, end - start);
    std::size_t points = 0, outside = 0;
    for (std::size_t p = chart.find("<circle "); p != std::string::npos;
         p = chart.find("<circle ", p + 1)) {
      ++points;
      if (chart.compare(p, 22, "<circle class=\"pt out\"") == 0) ++outside;
    }
    EXPECT_EQ(points, w.points);
    EXPECT_EQ(outside, w.outside);
    const std::size_t hist = html.find("class=\"hist\"", end);
    ASSERT_NE(hist, std::string::npos);
    from = hist;
  }

  // A folder that does not exist: refused, named, nothing left behind.
  const std::string bad = (dir_ / "no" / "r.html").string();
  EXPECT_FALSE(s.writeHtml(bad, "", error));
  EXPECT_EQ(error.rfind(bad + ": cannot be written", 0), 0u) << error;
}

// Readings at the ends of the double range and an escape sequence in a name: the text shows
// neither "nan" nor the escape, and the report stays well-formed with nothing undrawable in it.
TEST_F(Files, ExtremeInput) {
  ASSERT_STRNE(ZOLVANE_XMLLINT, "") << "xmllint is missing: install libxml2-utils";
  const std::string lines =
      record("PASS",
             {{"Big", 1e308, kNull, kNull, "PASS"}, {"\x1b[2JName", 0.0, -1e308, 1e308, "PASS"}})
          .dump() +
      "\n" +
      record("PASS",
             {{"Big", -1e308, kNull, kNull, "PASS"}, {"\x1b[2JName", 0.0, -1e308, 1e308, "PASS"}})
          .dump() +
      "\n";
  const std::string in = write("r.jsonl", lines), html = (dir_ / "r.html").string();
  std::string out, err;
  ASSERT_EQ(summarize({in}, html, out, err), 0) << err;
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
  const std::string report = read(html);
  for (const std::string &text : {out, report}) {
    EXPECT_EQ(text.find("nan"), std::string::npos) << text;
    EXPECT_EQ(text.find("inf"), std::string::npos) << text;
  }
  EXPECT_EQ(std::system((std::string(ZOLVANE_XMLLINT) + " --noout '" + html + "'").c_str()), 0);
}

// summarize --html writes the plan from the records when no plan text is given.
TEST_F(Files, SummarizeWritesTheReport) {
  const std::string in =
      write("r.jsonl", record("PASS", {{"P", 1.0, 0.0, 2.0, "PASS"}}, "line <3>").dump() + "\n");
  const std::string html = (dir_ / "r.html").string();
  std::string out, err;
  ASSERT_EQ(summarize({in}, html, out, err), 0) << err;
  EXPECT_NE(read(html).find("line &lt;3&gt;"), std::string::npos);
  EXPECT_EQ(summarize({in}, (dir_ / "no" / "r.html").string(), out, err), 2);
  EXPECT_NE(err.find("cannot be written"), std::string::npos) << err;
}

}  // namespace
