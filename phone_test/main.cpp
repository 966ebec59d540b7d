// zolvane_phone_test: a production-style CDMA2000 phone test on the Zolvane library. By
// default it runs on the simulated test set; --real-visa uses the machine's VISA and test set.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "launcher.h"
#include "options.h"
#include "plan.h"
#include "plan_file.h"
#include "record.h"
#include "station.h"

#if defined(ZOLVANE_HAVE_SIM_MODEL)
#include "config.h"
#endif
#if defined(ZOLVANE_HAVE_PHONE_SUMMARY)
#include "summary/summary.h"
#endif

namespace phone_test {
namespace {

constexpr int kExitFail = 1, kExitStation = 2, kExitError = 3, kExitInterrupted = 130;

int refuse(const std::string &message) {
  std::fprintf(stderr, "zolvane_phone_test: %s\n", message.c_str());
  return kExitStation;
}

// The station's own mistakes, found before the test set is touched: a simulator setting the
// simulator would refuse, a file that cannot be written or read.
bool checkStation(const Options &o, std::string &error) {
#if defined(ZOLVANE_HAVE_SIM_MODEL)
  if (!o.realVisa) {
    zolvane_sim::Config config;
    if (!zolvane_sim::loadFromEnvironment(config, error)) return false;
    if (!zolvane_sim::applyOptions(config, o.simOptions, error)) {
      error = "--sim-options: " + error;
      return false;
    }
  }
#endif
  const std::pair<const char *, const std::string *> outputs[] = {
      {"--trace", &o.traceFile}, {"--results", &o.results}, {"--csv", &o.csv},
      {"--html", &o.html}};
  for (const auto &[option, path] : outputs) {
    if (path->empty()) continue;
    if (!canWrite(*path, error)) {
      error = std::string(option) + ": " + error;
      return false;
    }
  }
#if !defined(ZOLVANE_HAVE_PHONE_SUMMARY)
  if (!o.html.empty()) {
    error = "--html: this build has no summary library (phone_test/summary)";
    return false;
  }
#endif
  return true;
}

std::string trim(std::string s) {
  const char *blank = " \t\r\n";
  s.erase(0, s.find_first_not_of(blank));
  s.erase(s.find_last_not_of(blank) + 1);
  return s;
}

// The phones' serials: --serial for every run, or one a line from --serials. A file is read
// whole before anything starts; standard input is read as the phones come, with a prompt on a
// terminal, where an empty line ends.
class Serials {
 public:
  bool open(const Options &o, std::string &error) {
    fixed_ = o.serial;
    if (o.serialsFrom.empty()) {
      total_ = o.repeat;
      return true;
    }
    if (o.serialsFrom == "-") {
      fromInput_ = true;
      prompt_ = isTerminal(stdin);
      return true;
    }
    std::ifstream in(o.serialsFrom);
    if (!in) {
      error = "--serials: cannot read " + o.serialsFrom;
      return false;
    }
    for (std::string line; std::getline(in, line);)
      if (std::string s = trim(line); !s.empty()) list_.push_back(s);
    if (list_.empty()) {
      error = "--serials: no serial in " + o.serialsFrom;
      return false;
    }
    total_ = static_cast<int>(list_.size());
    fromList_ = true;
    return true;
  }

  // 0 when not known in advance.
  int total() const { return total_; }

  bool next(int k, std::string &serial) {
    if (fromList_) {
      if (k > total_) return false;
      serial = list_[static_cast<std::size_t>(k - 1)];
      return true;
    }
    if (!fromInput_) {
      serial = fixed_;
      return k <= total_;
    }
    // Interruptible here: nothing is under way while the station waits for a phone.
    installStopHandlers(false);
    for (;;) {
      if (prompt_) {
        std::fprintf(stderr, "Serial of phone %d (empty line to stop): ", k);
        std::fflush(stderr);
      }
      std::string line;
      if (!std::getline(std::cin, line) || stopRequested()) return false;
      serial = trim(line);
      if (!serial.empty()) break;
      if (prompt_) return false;
    }
    installStopHandlers(true);
    return true;
  }

 private:
  std::string fixed_;
  std::vector<std::string> list_;
  int total_ = 0;
  bool fromList_ = false, fromInput_ = false, prompt_ = false;
};

// On a terminal, one line redrawn in place; otherwise nothing at all.
class Progress {
 public:
  explicit Progress(bool live) : live_(live), start_(std::chrono::steady_clock::now()) {}
  void show(int phone, int total, int step, const std::string &name, int passed) {
    if (!live_) return;
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string of = total > 0 ? " of " + std::to_string(total) : "";
    std::printf("\r\033[Kphone %d%s | step %d %s | %.1f s | %d passed", phone, of.c_str(), step,
                name.c_str(), elapsed, passed);
    std::fflush(stdout);
  }
  void clear() {
    if (!live_) return;
    std::fputs("\r\033[K", stdout);
    std::fflush(stdout);
  }

 private:
  bool live_;
  std::chrono::steady_clock::time_point start_;
};

int summarize(const Options &o) {
#if defined(ZOLVANE_HAVE_PHONE_SUMMARY)
  return summary::summarizeFiles(o.summarizeFiles, o.html, stdout, stderr);
#else
  (void)o;
  return refuse("summarize: this build has no summary library (phone_test/summary)");
#endif
}

int run(int argc, char **argv) {
  Options o;
  std::string error;
  switch (parseOptions(argc, argv, o, error)) {
    case ParseResult::Ok: break;
    case ParseResult::BadPlan: return refuse(error);
    case ParseResult::BadCommandLine:
      std::fprintf(stderr, "zolvane_phone_test: %s\nTry zolvane_phone_test --help.\n",
                   error.c_str());
      return kExitStation;
  }
  if (o.help) {
    std::fputs(o.helpText.c_str(), stdout);
    return 0;
  }
  if (o.summarize) return summarize(o);
  const std::string planText = planToml(o.plan);
  if (o.printPlan) {
    std::fputs(planText.c_str(), stdout);
    return 0;
  }
  if (!checkStation(o, error)) return refuse(error);
  Serials serials;
  if (!serials.open(o, error)) return refuse(error);

  std::string where;
  if (o.realVisa && !o.trace) {
    where = "the test set at GPIB0::" + std::to_string(o.plan.gpib) +
            "::INSTR through the machine's VISA";
  } else {
    std::string folder;
    if (!useVisaFolder(argv, o, folder, error)) return refuse(error);
    where = o.realVisa ? "the test set at GPIB0::" + std::to_string(o.plan.gpib) +
                             "::INSTR through the machine's VISA, traced (" + folder + ")"
                       : "the simulated test set (" + folder + ")";
  }

  LineFile results, csv;
  if (!o.results.empty() && !results.open(o.results, error)) return refuse("--results: " + error);
  if (!o.csv.empty() && !csv.open(o.csv, error)) return refuse("--csv: " + error);
  bool csvHeaderDue = !o.csv.empty() && csv.wasEmpty();
  installStopHandlers(true);

  const bool many = o.manyPhones();
  const std::string hash = planHash(planText);
  if (many) {
    std::printf("Zolvane phone test on %s\nPlan \"%s\" (%s)\n\n", where.c_str(),
                o.plan.name.c_str(), hash.c_str());
    std::fflush(stdout);
  }
#if defined(ZOLVANE_HAVE_PHONE_SUMMARY)
  summary::Summary stats(!o.html.empty());  // readings run by run only for the report
#endif
  Progress progress(many && isTerminal(stdout));
  int counts[5] = {};  // by Verdict
  int phones = 0;
  for (int k = 1; !stopRequested(); ++k) {
    std::string serial;
    if (!serials.next(k, serial)) break;
    PhoneRecord rec;
    rec.serial = serial;
    rec.station = o.station;
    rec.operatorName = o.operatorName;
    rec.plan = o.plan.name;
    rec.planHash = hash;
    rec.start = utcNow();
    int passedSoFar = counts[static_cast<int>(Verdict::Pass)];
    PhoneRun phone = runPlan(o.plan, where, many ? nullptr : stdout,
                             [&](int step, const std::string &name) {
                               progress.show(k, serials.total(), step, name, passedSoFar);
                             });
    rec.seconds = phone.seconds;
    rec.verdict = phone.verdict;
    rec.rows = std::move(phone.rows);
    nlohmann::json json = toJson(rec);
    // A record that cannot be written stops the line: the phone's result would be lost.
    if (!o.results.empty() && !results.append(jsonLine(json), error)) {
      progress.clear();
      std::fprintf(stderr, "zolvane_phone_test: --results: %s\n", error.c_str());
      return kExitError;
    }
    if (!o.csv.empty() &&
        !csv.append((csvHeaderDue ? csvHeader() : std::string()) + csvRows(rec), error)) {
      progress.clear();
      std::fprintf(stderr, "zolvane_phone_test: --csv: %s\n", error.c_str());
      return kExitError;
    }
    csvHeaderDue = false;
#if defined(ZOLVANE_HAVE_PHONE_SUMMARY)
    stats.add(json);
#endif
    ++counts[static_cast<int>(rec.verdict)];
    ++phones;
    if (many) {
      std::string failed;
      for (const Row &r : rec.rows)
        if (r.verdict == Verdict::Fail || r.verdict == Verdict::Error)
          failed += (failed.empty() ? " (" : "; ") + r.step;
      if (!failed.empty()) failed += ")";
      progress.clear();
      std::string of = serials.total() > 0 ? " of " + std::to_string(serials.total()) : "";
      std::printf("phone %d%s %s %s %.2f s%s\n", k, of.c_str(),
                  rec.serial.empty() ? "-" : rec.serial.c_str(), verdictText(rec.verdict),
                  rec.seconds, failed.c_str());
      std::fflush(stdout);
    }
    if (rec.verdict == Verdict::Aborted) break;
  }
  progress.clear();

  if (many) {
#if defined(ZOLVANE_HAVE_PHONE_SUMMARY)
    std::printf("\n");
    stats.print(stdout);
#else
    int pass = counts[static_cast<int>(Verdict::Pass)];
    int fail = counts[static_cast<int>(Verdict::Fail)];
    std::printf("\nPhones: %d; PASS %d, FAIL %d, ERROR %d, ABORTED %d", phones, pass, fail,
                counts[static_cast<int>(Verdict::Error)],
                counts[static_cast<int>(Verdict::Aborted)]);
    if (pass + fail > 0) std::printf("; yield %.1f %%", 100.0 * pass / (pass + fail));
    std::printf("\n");
#endif
    std::fflush(stdout);
  }
#if defined(ZOLVANE_HAVE_PHONE_SUMMARY)
  if (!o.html.empty() && !stats.writeHtml(o.html, planText, error)) {
    std::fprintf(stderr, "zolvane_phone_test: --html: %s\n", error.c_str());
    return kExitError;
  }
#endif
  if (stopRequested() || counts[static_cast<int>(Verdict::Aborted)]) return kExitInterrupted;
  if (counts[static_cast<int>(Verdict::Error)]) return kExitError;
  if (counts[static_cast<int>(Verdict::Fail)]) return kExitFail;
  return 0;
}

}  // namespace
}  // namespace phone_test

int main(int argc, char **argv) { return phone_test::run(argc, argv); }
