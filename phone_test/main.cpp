// zolvane_phone_test: a production-style CDMA2000 phone test on the Zolvane library. By
// default it runs on the simulated test set; --real-visa uses the machine's VISA and test set.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database.h"
#include "identity.h"
#include "launcher.h"
#include "options.h"
#include "plan.h"
#include "plan_file.h"
#include "record.h"
#include "record_schema.h"
#include "station.h"

#if defined(ZOLVANE_HAVE_SIM_MODEL)
#include "config.h"
#include "test_set.h"
#endif
#if defined(ZOLVANE_HAVE_FORWARD)
#include "forwarding.h"
#endif
#if defined(ZOLVANE_HAVE_ANALYSIS)
#include "output.h"
#include "render.h"
#include "summarize.h"
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
    // What the simulator would refuse only once it is opened: a header it does not know.
    if (std::string why = zolvane_sim::TestSet::checkConfig(config); !why.empty()) {
      error = "simulator settings: " + why;
      return false;
    }
  }
#endif
  const std::pair<const char *, const std::string *> outputs[] = {
      {"--trace", &o.traceFile}, {"--results", &o.results}, {"--csv", &o.csv}};
  for (const auto &[option, path] : outputs) {
    if (path->empty()) continue;
    if (!canWrite(*path, error)) {
      error = std::string(option) + ": " + error;
      return false;
    }
  }
#if defined(ZOLVANE_HAVE_ANALYSIS)
  // The report is written by rename: a device or a FIFO is written in place, a directory refused.
  if (!o.html.empty() && !zolvane::analysis::checkOutput(o.html, error)) {
    error = "--html: " + error;
    return false;
  }
#else
  if (!o.html.empty()) {
    error = "--html: this build has no analysis library (analysis/)";
    return false;
  }
#endif
  // The line tells its stations apart by name.
  if (!o.forwardTo.empty() && o.station.empty()) {
    error = "--forward-to needs the station's name: give --station NAME";
    return false;
  }
#if !defined(ZOLVANE_HAVE_FORWARD)
  if (!o.forwardTo.empty()) {
    error = "--forward-to: this build has no forwarder (line/)";
    return false;
  }
#endif
  // A record must say which phone it is; a gauge study repeats one phone that may have none.
  if (o.writesRecords() && o.serial.empty() && o.serialsFrom.empty() && o.repeat == 1) {
    error = "records need the phone's serial: give --serial S or --serials FILE|-";
    return false;
  }
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
  // Standard input gave no serial at all.
  bool noneRead(int phones) const { return fromInput_ && phones == 0 && !stopRequested(); }

  // The phones not tested once the station stops after phone k, for the operator.
  std::string untested(int k) const {
    if (fromInput_) return "the serials still to be scanned";
    if (fromList_) {
      std::string out;
      for (std::size_t i = static_cast<std::size_t>(k); i < list_.size(); ++i)
        out += (out.empty() ? "" : " ") + printable(list_[i]);
      return out.empty() ? "none" : out;
    }
    const int left = total_ - k;
    if (left <= 0) return "none";
    return std::to_string(left) + " more run" + (left == 1 ? "" : "s") + " of " +
           (fixed_.empty() ? std::string("the phone") : printable(fixed_));
  }

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
  // waiting: records not yet with the line server; negative when nothing is forwarded.
  void show(int phone, int total, int step, const std::string &name, int passed, long waiting) {
    if (!live_) return;
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::string of = total > 0 ? " of " + std::to_string(total) : "";
    std::string wait = waiting >= 0 ? " | " + std::to_string(waiting) + " to forward" : "";
    std::printf("\r\033[Kphone %d%s | step %d %s | %.1f s | %d passed%s", phone, of.c_str(), step,
                name.c_str(), elapsed, passed, wait.c_str());
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
#if defined(ZOLVANE_HAVE_ANALYSIS)
  zolvane::analysis::SummarizeRequest rq;
  rq.files = o.summarizeFiles;
  rq.db = o.db;
  rq.station = o.station;
  rq.plan = o.summaryPlan;
  rq.since = o.since;
  rq.until = o.until;
  rq.json = o.json;
  rq.html = o.html;
  return zolvane::analysis::summarize(rq, stdout, stderr);
#else
  (void)o;
  return refuse("summarize: this build has no analysis library (analysis/)");
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
  if (o.exportRecords) return exportCommand(o);
  if (o.importRecords) return importCommand(o);
#if defined(ZOLVANE_HAVE_FORWARD)
  if (o.forwardRecords) return forwardCommand(o);
#else
  if (o.forwardRecords) return refuse("forward: this build has no forwarder (line/)");
#endif
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
  // The station database: the one named, or the default as soon as the phones have serials (a
  // try-out on the bench without one is not a record).
  std::unique_ptr<zolvane::records::StationDb> db;
  if (!o.db.empty() || (!o.noDb && (!o.serial.empty() || !o.serialsFrom.empty()))) {
    db = openDatabase(o, error);
    if (!db && !error.empty()) return refuse("--db: " + error);
  }
#if defined(ZOLVANE_HAVE_FORWARD)
  // Records go to the line server from the database, so forwarding needs one.
  std::unique_ptr<StationForwarder> forwarder;
  if (!o.forwardTo.empty()) {
    std::string path;
    if (!db || !databasePath(o, path, error))
      return refuse("--forward-to sends the records of the station database: give --serial, "
                    "--serials or --db" + (error.empty() ? std::string() : " (" + error + ")"));
    forwarder = StationForwarder::start(o, path, error);
    if (!forwarder) return refuse(error);
  }
  auto waitingToForward = [&]() -> long {
    return forwarder ? static_cast<long>(forwarder->waiting()) : -1;
  };
#else
  auto waitingToForward = []() -> long { return -1; };
#endif
  Attempts attempts(db.get());
  TestSetUsed testSet;
  testSet.simulated = !o.realVisa;
  testSet.resource = "GPIB0::" + std::to_string(o.plan.gpib) + "::INSTR";
  if (testSet.simulated) testSet.simulator = simulatorSettings(o.simOptions);
  const std::string host = hostName();
  installStopHandlers(true);

  const bool many = o.manyPhones();
  const std::string hash = planHash(planText);
  // Said once the first phone is there (standard input that gives none prints nothing). A
  // simulated run is never mistaken for a real test: it says so first, and in every record.
  auto announce = [&] {
    if (testSet.simulated)
      std::printf("*** SIMULATED TEST SET: not a test of a real phone; every record says "
                  "\"simulated\": true ***\n");
    if (many)
      std::printf("Zolvane phone test on %s\nPlan \"%s\" (%s)\n\n", where.c_str(),
                  printable(o.plan.name).c_str(), hash.c_str());
    std::fflush(stdout);
  };
#if defined(ZOLVANE_HAVE_ANALYSIS)
  zolvane::analysis::Analysis stats;
  stats.setPlanToml(planText);
  stats.addSource("this run");
#endif
  Progress progress(many && isTerminal(stdout));
  int counts[5] = {};  // by Verdict
  int phones = 0;
  int errorsInARow = 0;
  std::string stationStop;  // why the station stopped before its phones were done
  for (int k = 1; !stopRequested(); ++k) {
    std::string serial;
    if (!serials.next(k, serial)) break;
    if (k == 1) announce();
    PhoneRecord rec;
    rec.recordId = zolvane::records::newRecordId();
    const zolvane::records::StationDb::Attempt attempt = attempts.next(serial);
    rec.attempt = attempt.attempt;
    rec.previousRecordId = attempt.previous;
    rec.host = host;
    rec.serial = serial;
    rec.station = o.station;
    rec.operatorName = o.operatorName;
    rec.plan = o.plan.name;
    rec.planHash = hash;
    rec.start = utcNow();
    int passedSoFar = counts[static_cast<int>(Verdict::Pass)];
    PhoneRun phone = runPlan(o.plan, where, many ? nullptr : stdout,
                             [&](int step, const std::string &name) {
                               progress.show(k, serials.total(), step, name, passedSoFar,
                                             waitingToForward());
                             });
    rec.seconds = phone.seconds;
    rec.verdict = phone.verdict;
    rec.rows = std::move(phone.rows);
    if (testSet.visa.empty()) testSet.visa = boundVisa();
    rec.testSet = testSet;
    nlohmann::json json = toJson(rec);
    // The database first, so that it holds every run the other outputs hold. A database that
    // cannot be written stops the line too, once the record is in every other output.
    std::string dbError;
    if (db && !db->addRun(json, dbError)) {
      stationStop = dbError + "\nThe record of phone " + std::to_string(k) +
                    " is in every other output, not in the database.";
    } else if (db) {
#if defined(ZOLVANE_HAVE_FORWARD)
      if (forwarder) forwarder->committed();
#endif
      rec.attempt = json["attempt"].get<int>();
      rec.previousRecordId = json["previous_record_id"].is_string()
                                 ? std::optional<std::string>(json["previous_record_id"])
                                 : std::nullopt;
    }
    attempts.done(rec.serial, rec.attempt, rec.recordId);
    // A record that cannot be written stops the line: the phone's result would be lost.
    if (!o.results.empty() && !results.append(jsonLine(json), error)) {
      progress.clear();
      std::fprintf(stderr, "zolvane_phone_test: --results: %s\n", error.c_str());
      return kExitError;
    }
    if (!o.csv.empty() &&
        !csv.append(csvRows(rec), error, csvHeader())) {
      progress.clear();
      std::fprintf(stderr, "zolvane_phone_test: --csv: %s\n", error.c_str());
      return kExitError;
    }
#if defined(ZOLVANE_HAVE_ANALYSIS)
    std::string unused;
    stats.add(json, unused);
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
      // A serial is shown with its control characters escaped, never sent to the terminal.
      std::string shown = rec.serial.empty() ? "-" : printable(rec.serial);
      const long waiting = waitingToForward();
      std::string toForward = waiting >= 0 ? " [" + std::to_string(waiting) + " to forward]" : "";
      std::printf("phone %d%s %s %s %.2f s%s%s\n", k, of.c_str(), shown.c_str(),
                  verdictText(rec.verdict), rec.seconds, failed.c_str(), toForward.c_str());
      std::fflush(stdout);
    }
    if (rec.verdict == Verdict::Aborted) break;
    // A station that cannot reach any VISA fails every phone alike: it stops at once.
    if (o.realVisa && testSet.visa.empty() && rec.verdict == Verdict::Error && stationStop.empty())
      stationStop = "the machine has no VISA library (" +
                    std::string(rec.rows.empty() ? "" : rec.rows.front().note) +
                    "): install the VISA of the GPIB interface, or leave out --real-visa to use "
                    "the simulated test set";
    errorsInARow = rec.verdict == Verdict::Error ? errorsInARow + 1 : 0;
    if (o.maxStationErrors > 0 && errorsInARow >= o.maxStationErrors && stationStop.empty())
      stationStop = std::to_string(errorsInARow) + " phones in a row were ERROR: the station, " +
                    "not the phones, needs attention (test set, cabling, GPIB, VISA)";
    if (!stationStop.empty()) {
      if (std::string left = serials.untested(k); left != "none") stationStop += "\nNot tested: " + left;
      break;
    }
  }
  progress.clear();
  if (serials.noneRead(phones)) return refuse("--serials -: no serials read");

  if (many) {
#if defined(ZOLVANE_HAVE_ANALYSIS)
    std::printf("\n%s", zolvane::analysis::textReport(stats.report()).c_str());
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
#if defined(ZOLVANE_HAVE_ANALYSIS)
  if (!o.html.empty() &&
      !zolvane::analysis::writeOutput(o.html, zolvane::analysis::htmlReport(stats.report()).str(),
                                      error)) {
    std::fprintf(stderr, "zolvane_phone_test: --html: %s\n", error.c_str());
    return kExitError;
  }
#endif
#if defined(ZOLVANE_HAVE_FORWARD)
  // What could not reach the line server yet waits in the database for the next run or the
  // `forward` service: the station's result does not depend on the line server.
  if (forwarder) {
    const std::size_t left = forwarder->finish();
    if (left == 0) {
      std::printf("Line server %s: every record forwarded\n", o.forwardTo.c_str());
    } else {
      const std::string why = forwarder->lastError();
      std::printf("Line server %s: %zu record%s wait%s in the station database to be forwarded%s%s\n",
                  o.forwardTo.c_str(), left, left == 1 ? "" : "s", left == 1 ? "s" : "",
                  why.empty() ? "" : ": ", printable(why).c_str());
    }
    std::fflush(stdout);
  }
#endif
  if (!stationStop.empty()) {
    std::fprintf(stderr, "zolvane_phone_test: the station stopped: %s\n", stationStop.c_str());
    return kExitError;
  }
  if (stopRequested() || counts[static_cast<int>(Verdict::Aborted)]) return kExitInterrupted;
  if (counts[static_cast<int>(Verdict::Error)]) return kExitError;
  if (counts[static_cast<int>(Verdict::Fail)]) return kExitFail;
  return 0;
}

}  // namespace
}  // namespace phone_test

int main(int argc, char **argv) { return phone_test::run(argc, argv); }
