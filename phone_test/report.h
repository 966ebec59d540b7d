// The report the phone test prints as it goes: one row per step with its value, limits, verdict
// and time, a note under a row that needs one, and a summary.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace phone_test {

// FAIL: the phone missed a limit or did not do its part. ERROR: the station failed (a VISA
// error, the test set did not answer). ABORTED: the run was interrupted.
enum class Verdict { Pass, Fail, Error, Aborted, Skip };

const char *verdictText(Verdict v);

struct Row {
  std::string step;
  std::string value = "-";
  std::string limits = "-";
  Verdict verdict = Verdict::Pass;
  double seconds = 0.0;
  std::string note;  // printed under the row
  // For the records: the number behind `value` and the limits, where there are.
  std::optional<double> number, low, high;
  std::string unit;
};

class Report {
 public:
  // With `out` null nothing is printed; the rows are kept either way.
  explicit Report(std::FILE *out) : out_(out) {}
  void title(const std::string &line);
  void header();
  void add(const Row &row);
  // The totals and the phone's verdict: ERROR if a step is, else FAIL if one failed or was
  // skipped, else PASS; `aborted` makes it ABORTED.
  Verdict summary(double seconds, bool aborted);
  const std::vector<Row> &rows() const { return rows_; }

 private:
  std::FILE *out_;
  std::vector<Row> rows_;
};

// Text safe to show on a terminal: control characters (C0, DEL, C1) and bytes that are not valid
// UTF-8 shown as \xHH, so that a misread barcode cannot move the cursor or clear the screen.
std::string printable(const std::string &text);

// Text for a status the library returned: "0", "-1073807339 (VI_ERROR_TMO: I/O time-out)".
std::string describeStatus(int status);

}  // namespace phone_test
