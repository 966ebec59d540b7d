#include "analysis.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "record_schema.h"
#include "records_for_tests.h"
#include "render.h"

namespace {

using namespace zolvane::analysis;
using nlohmann::json;
using test_records::rec;
using test_records::step;

Report analyse(const std::vector<json> &records) {
  Analysis a;
  std::string why;
  for (const json &r : records) EXPECT_NE(a.add(r, why), Analysis::Added::Refused) << why;
  return a.report();
}

struct Counts {
  std::size_t runs, pass, fail, error, aborted, serials, firstAttempts, firstPass, finalPass,
      retests;
};

void expectCounts(const YieldGroup &g, const Counts &c) {
  SCOPED_TRACE(g.key);
  EXPECT_EQ(g.runs, c.runs);
  EXPECT_EQ(g.pass, c.pass);
  EXPECT_EQ(g.fail, c.fail);
  EXPECT_EQ(g.error, c.error);
  EXPECT_EQ(g.aborted, c.aborted);
  EXPECT_EQ(g.serials, c.serials);
  EXPECT_EQ(g.firstAttempts, c.firstAttempts);
  EXPECT_EQ(g.firstPass, c.firstPass);
  EXPECT_EQ(g.finalPass, c.finalPass);
  EXPECT_EQ(g.retests, c.retests);
}

// Yields worked by hand. Only PASS and FAIL are attempts; a serial's attempts are ordered by
// start time (not by reading order); schema 2 says which run was a serial's first.
TEST(Analysis, YieldsWorkedByHand) {
  const std::string id7 = zolvane::records::newRecordId();
  struct Case {
    const char *what;
    std::vector<json> records;
    Counts all;
    double firstPassYield, finalYield;
  };
  const Case cases[] = {
      {"schema 1: a retest that passed, one that failed, ERROR and ABORTED apart",
       {rec("S1", "PASS", "10:02", "B"), rec("S1", "FAIL", "10:01"),  // read out of order
        rec("S2", "PASS", "10:03"), rec("S3", "ERROR", "10:04"), rec("S3", "PASS", "10:05"),
        rec("S4", "FAIL", "10:06"), rec("S4", "FAIL", "10:07"), rec("S5", "ERROR", "10:08"),
        rec("S6", "ABORTED", "10:09"), rec("S6", "FAIL", "10:10")},
       // S1 FAIL then PASS, S2 PASS, S3 PASS (its ERROR is no attempt), S4 FAIL twice, S6 FAIL.
       {10, 3, 4, 2, 1, 5, 5, 2, 3, 2},
       2.0 / 5,
       3.0 / 5},
      {"schema 2: one serial's first run is not here, another's first run was ERROR",
       {rec("S7", "PASS", "11:00", "A", {}, 2), rec("S8", "ERROR", "11:01", "A", {}, 1),
        rec("S8", "FAIL", "11:02", "A", {}, 2), rec("S8", "PASS", "11:03", "A", {}, 3)},
       // S7: no first attempt here, one retest. S8: first attempt FAIL, then one retest.
       {4, 2, 1, 1, 0, 2, 1, 0, 2, 2},
       0.0,
       1.0},
      {"no serial: each run a phone of its own",
       {rec("", "PASS", "12:00"), rec("", "FAIL", "12:01"), rec("", "PASS", "12:02")},
       {3, 2, 1, 0, 0, 3, 3, 2, 2, 0},
       2.0 / 3,
       2.0 / 3},
      {"a record read twice counts once",
       {rec("S9", "FAIL", "13:00", "A", {}, 1, id7), rec("S9", "FAIL", "13:00", "A", {}, 1, id7)},
       {1, 0, 1, 0, 0, 1, 1, 0, 0, 0},
       0.0,
       0.0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Report r = analyse(c.records);
    expectCounts(r.all, c.all);
    ASSERT_TRUE(r.all.firstPassYield());
    EXPECT_DOUBLE_EQ(*r.all.firstPassYield(), c.firstPassYield);
    EXPECT_DOUBLE_EQ(*r.all.finalYield(), c.finalYield);
    const json j = jsonReport(r);
    EXPECT_DOUBLE_EQ(j["first_pass_yield"].get<double>(), c.firstPassYield);
    EXPECT_DOUBLE_EQ(j["final_yield"].get<double>(), c.finalYield);
    EXPECT_EQ(j["retests"], c.all.retests);
    EXPECT_EQ(j["runs"], c.all.runs);
  }
  // By station, the first case: S1 failed at A and passed at B.
  const Report r = analyse(cases[0].records);
  ASSERT_EQ(r.byStation.size(), 2u);
  expectCounts(r.byStation[0], {9, 2, 4, 2, 1, 5, 5, 2, 2, 1});
  expectCounts(r.byStation[1], {1, 1, 0, 0, 0, 1, 1, 1, 1, 0});
  EXPECT_EQ(jsonReport(r)["by_station"][1]["key"], "B");
}

// Pareto by failing phones; Cpk only for measured quantities, indicative under 30 readings.
TEST(Analysis, ParetoAndStepStatistics) {
  std::vector<json> records = {
      rec("S1", "FAIL", "10:00", "A", {step("Max power", 22.0, 23.0, 30.0, "FAIL", "dBm")}),
      rec("S1", "FAIL", "10:01", "A", {step("Max power", 22.5, 23.0, 30.0, "FAIL", "dBm")}),
      rec("S2", "FAIL", "10:02", "A",
          {step("Max power", 22.9, 23.0, 30.0, "FAIL", "dBm"),
           step("Rolop", 5.0, -17.5, 1.5, "FAIL", "dBm")}),
      // A step that failed in an ERROR run is the station's: not in the Pareto.
      rec("S3", "ERROR", "10:03", "A", {step("Rolop", 4.0, -17.5, 1.5, "FAIL", "dBm")}),
  };
  for (int i = 0; i < 30; ++i)
    records.push_back(rec("P" + std::to_string(i), "PASS", "11:00", "A",
                          {step("Max power", 23.0 + 0.1 * (i % 5), 23.0, 30.0, "PASS", "dBm"),
                           step("Wait for registration", 0.5 + 0.01 * i, std::nullopt, 10.0,
                                "PASS", "s")}));
  const Report r = analyse(records);
  ASSERT_EQ(r.pareto.size(), 2u);
  EXPECT_EQ(r.pareto[0].step, "Max power");
  EXPECT_EQ(r.pareto[0].phones, 2u);
  EXPECT_EQ(r.pareto[0].runs, 3u);
  EXPECT_EQ(r.pareto[1].phones, 1u);

  ASSERT_EQ(r.steps.size(), 3u);
  EXPECT_TRUE(r.steps[0].cpk && !r.steps[0].cpkIndicative());  // 33 readings
  EXPECT_TRUE(r.steps[1].cpk && r.steps[1].cpkIndicative());   // Rolop: 2 readings
  EXPECT_TRUE(r.steps[2].timing);
  EXPECT_FALSE(r.steps[2].cpk);  // a time taken has no Cpk
  const std::string text = textReport(r);
  EXPECT_NE(text.find("(indicative)"), std::string::npos) << text;
  EXPECT_NE(text.find("  time\n"), std::string::npos) << text;

  // The failing and ERROR phones: in time order, with the step that failed.
  ASSERT_EQ(r.phones.size(), 4u);
  EXPECT_EQ(r.phones[3].verdict, Verdict::Error);
  EXPECT_EQ(r.phones[2].step, "Max power");
  EXPECT_EQ(r.phones[2].value, 22.9);
}

// 20,000 records, each with a step name of its own, and one step with more readings than a chart
// holds: what is kept is bounded by what the report shows, and the report says what it left out.
TEST(Analysis, MemoryBoundedByWhatIsShown) {
  Analysis a;
  std::string why;
  for (int i = 0; i < 20000; ++i) {
    json r = rec("S" + std::to_string(i), "PASS", "10:00", "A",
                 {step("step " + std::to_string(i), 1.0, 0.0, 2.0, "PASS", "dBm"),
                  step("shared", i, std::nullopt, std::nullopt, "PASS", "dBm")});
    ASSERT_EQ(a.add(r, why), Analysis::Added::Counted) << why;
  }
  const Report r = a.report();
  EXPECT_EQ(r.steps.size(), kMaxSteps);
  EXPECT_EQ(r.stepReadingsLeftOut, 20000 - (kMaxSteps - 1));
  EXPECT_EQ(r.charts.size(), kMaxCharts);
  EXPECT_EQ(r.chartsLeftOut, kMaxSteps - kMaxCharts);
  ASSERT_EQ(r.charts[1].runs.title, "shared");
  EXPECT_EQ(r.charts[1].runs.points.size(), kMaxPoints);
  EXPECT_EQ(r.charts[1].runs.leftOut, 20000 - kMaxPoints);
  EXPECT_EQ(r.charts[1].runs.points.back().value, 19999);  // the latest are kept
  const std::string html = htmlReport(r).str();
  EXPECT_LT(html.size(), 8u << 20);
  EXPECT_NE(html.find("measured steps are not charted"), std::string::npos);
}

}  // namespace
