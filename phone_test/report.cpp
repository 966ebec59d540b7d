#include "report.h"

namespace phone_test {
namespace {

const char *verdictText(Verdict v) {
  switch (v) {
    case Verdict::Pass: return "PASS";
    case Verdict::Fail: return "FAIL";
    case Verdict::Skip: return "SKIP";
  }
  return "?";
}

}  // namespace

std::string describeStatus(int status) {
  struct Known {
    unsigned value;
    const char *text;
  };
  static const Known known[] = {
      {0xBFFF0015U, "VI_ERROR_TMO: I/O time-out, the test set did not answer"},
      {0xBFFF0011U, "VI_ERROR_RSRC_NFOUND: no instrument at that address"},
      {0xBFFF009EU, "VI_ERROR_LIBRARY_NFOUND: no VISA library could be loaded"},
      {0xBFFF0000U, "VI_ERROR_SYSTEM_ERROR: VISA is incomplete or failed"},
      {0xBFFF000EU, "VI_ERROR_INV_OBJECT: the test set is not open"},
      {0xBFFF003EU, "VI_ERROR_IO: I/O error"},
      {0xBFFF0078U, "VI_ERROR_INV_PARAMETER: an argument was refused"},
      {0xBFFF0071U, "VI_ERROR_USER_BUF: an invalid buffer"},
      {0xBFFF003FU, "VI_ERROR_INV_FMT: invalid format"},
      {0xBFFF0041U, "VI_ERROR_NSUP_FMT: unsupported format"},
  };
  std::string s = std::to_string(status);
  for (const Known &k : known)
    if (static_cast<unsigned>(status) == k.value) return s + " (" + k.text + ")";
  if (status > 1) s += " (a VISA warning)";
  return s;
}

void Report::title(const std::string &line) {
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void Report::header() {
  std::fprintf(out_, "\n %2s  %-36s %-18s %-22s %-6s %8s\n", "#", "Step", "Value", "Limits",
               "Result", "Time");
  std::fflush(out_);
}

void Report::add(const Row &row) {
  ++number_;
  switch (row.verdict) {
    case Verdict::Pass: ++passed_; break;
    case Verdict::Fail:
      ++failed_;
      failures_.push_back(row.step);
      break;
    case Verdict::Skip: ++skipped_; break;
  }
  if (row.verdict == Verdict::Skip) {
    std::fprintf(out_, " %2d  %-36s %-18s %-22s %-6s %8s\n", number_, row.step.c_str(), "-",
                 row.limits.c_str(), "SKIP", "-");
  } else {
    std::fprintf(out_, " %2d  %-36s %-18s %-22s %-6s %6.2f s\n", number_, row.step.c_str(),
                 row.value.c_str(), row.limits.c_str(), verdictText(row.verdict), row.seconds);
  }
  if (!row.note.empty()) std::fprintf(out_, "     %s\n", row.note.c_str());
  std::fflush(out_);
}

bool Report::summary(double seconds) {
  bool pass = failed_ == 0 && skipped_ == 0;
  std::fprintf(out_, "\nSummary: %d steps, %d passed, %d failed, %d skipped, %.2f s\n", number_,
               passed_, failed_, skipped_, seconds);
  if (pass) {
    std::fprintf(out_, "RESULT: PASS\n");
  } else {
    std::string list;
    for (const std::string &f : failures_) list += (list.empty() ? "" : "; ") + f;
    if (list.empty()) list = "steps skipped";
    std::fprintf(out_, "RESULT: FAIL (%s)\n", list.c_str());
  }
  std::fflush(out_);
  return pass;
}

}  // namespace phone_test
