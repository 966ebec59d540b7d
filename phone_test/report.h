// The report the phone test prints as it goes: one row per step with its value, limits, verdict
// and time, a note under a row that needs one, and a summary.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace phone_test {

enum class Verdict { Pass, Fail, Skip };

struct Row {
  std::string step;
  std::string value = "-";
  std::string limits = "-";
  Verdict verdict = Verdict::Pass;
  double seconds = 0.0;
  std::string note;  // printed under the row
};

class Report {
 public:
  explicit Report(std::FILE *out) : out_(out) {}
  void title(const std::string &line);
  void header();
  void add(const Row &row);
  // The totals and the overall verdict; true when every step passed.
  bool summary(double seconds);

 private:
  std::FILE *out_;
  int number_ = 0;
  int passed_ = 0, failed_ = 0, skipped_ = 0;
  std::vector<std::string> failures_;
};

// Text for a status the library returned: "0", "-1073807339 (VI_ERROR_TMO: I/O time-out)".
std::string describeStatus(int status);

}  // namespace phone_test
