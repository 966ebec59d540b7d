#include "report.h"

namespace phone_test {

const char *verdictText(Verdict v) {
  switch (v) {
    case Verdict::Pass: return "PASS";
    case Verdict::Fail: return "FAIL";
    case Verdict::Error: return "ERROR";
    case Verdict::Aborted: return "ABORTED";
    case Verdict::Skip: return "SKIP";
  }
  return "?";
}

std::string printable(const std::string &text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  std::size_t i = 0;
  auto escape = [&](std::size_t count) {
    for (std::size_t k = 0; k < count; ++k, ++i) {
      auto b = static_cast<unsigned char>(text[i]);
      out += {'\\', 'x', kHex[b >> 4], kHex[b & 15]};
    }
  };
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      if (b < 0x20 || b == 0x7F) escape(1);
      else out += text[i++];
      continue;
    }
    // A UTF-8 sequence: its length from the lead byte, the code point from all of it.
    std::size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    unsigned cp = n == 4 ? b & 7u : n == 3 ? b & 15u : b & 31u;
    bool valid = n > 0 && i + n <= text.size();
    for (std::size_t k = 1; valid && k < n; ++k) {
      auto c = static_cast<unsigned char>(text[i + k]);
      valid = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3Fu);
    }
    const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};  // shorter forms are not UTF-8
    valid = valid && cp >= least[n] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    if (!valid) {
      escape(1);
    } else if (cp < 0xA0) {  // C1 control
      escape(n);
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

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
  if (!out_) return;
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void Report::header() {
  if (!out_) return;
  std::fprintf(out_, "\n %2s  %-36s %-18s %-22s %-6s %8s\n", "#", "Step", "Value", "Limits",
               "Result", "Time");
  std::fflush(out_);
}

void Report::add(const Row &row) {
  rows_.push_back(row);
  if (!out_) return;
  int number = static_cast<int>(rows_.size());
  if (row.verdict == Verdict::Skip) {
    std::fprintf(out_, " %2d  %-36s %-18s %-22s %-6s %8s\n", number, row.step.c_str(), "-",
                 row.limits.c_str(), "SKIP", "-");
  } else {
    std::fprintf(out_, " %2d  %-36s %-18s %-22s %-6s %6.2f s\n", number, row.step.c_str(),
                 row.value.c_str(), row.limits.c_str(), verdictText(row.verdict), row.seconds);
  }
  if (!row.note.empty()) std::fprintf(out_, "     %s\n", row.note.c_str());
  std::fflush(out_);
}

Verdict Report::summary(double seconds, bool aborted) {
  int passed = 0, failed = 0, errors = 0, skipped = 0;
  std::string failures;
  for (const Row &r : rows_) {
    switch (r.verdict) {
      case Verdict::Pass: ++passed; break;
      case Verdict::Skip: ++skipped; break;
      case Verdict::Error: ++errors; break;
      default: ++failed; break;
    }
    if (r.verdict == Verdict::Fail || r.verdict == Verdict::Error)
      failures += (failures.empty() ? "" : "; ") + r.step;
  }
  Verdict v = aborted ? Verdict::Aborted
              : errors ? Verdict::Error
              : failed || skipped ? Verdict::Fail
                                  : Verdict::Pass;
  if (!out_) return v;
  std::fprintf(out_, "\nSummary: %d steps, %d passed, %d failed, ", static_cast<int>(rows_.size()),
               passed, failed);
  if (errors) std::fprintf(out_, "%d errors, ", errors);
  std::fprintf(out_, "%d skipped, %.2f s\n", skipped, seconds);
  if (v == Verdict::Pass) {
    std::fprintf(out_, "RESULT: PASS\n");
  } else {
    if (aborted) failures = "interrupted";
    else if (failures.empty()) failures = "steps skipped";
    std::fprintf(out_, "RESULT: %s (%s)\n", verdictText(v), failures.c_str());
  }
  std::fflush(out_);
  return v;
}

}  // namespace phone_test
