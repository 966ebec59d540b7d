// What zolvane_phone_test writes, and where: records on every kind of output path, several
// stations on one file, a disk that fills, text a spreadsheet or terminal would run, the plan's
// ranges and how its numbers print.
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "program.h"

namespace {

using namespace phone_test_program;

// A folder nothing can be written in: as root (who passes every permission check) a read-only
// tmpfs, else a folder without write permission. Holds "existing.jsonl".
class ReadOnlyFolder {
 public:
  ReadOnlyFolder() : path_(tempPath("read_only")) {
    mkdir(path_.c_str(), 0700);
    if (geteuid() == 0) {
      mounted_ = mount("zolvane_ro", path_.c_str(), "tmpfs", 0, "size=64k") == 0;
      if (!mounted_) {
        ADD_FAILURE() << "as root this test needs a tmpfs mount: " << std::strerror(errno);
        return;
      }
    }
    std::ofstream(existing()) << "{\"old\": 1}\n";
    bool locked = geteuid() == 0
                      ? mount("zolvane_ro", path_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY,
                              "size=64k") == 0
                      : chmod(existing().c_str(), 0444) == 0 && chmod(path_.c_str(), 0555) == 0;
    EXPECT_TRUE(locked) << std::strerror(errno);
  }
  ~ReadOnlyFolder() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    chmod(path_.c_str(), 0700);
    std::remove(existing().c_str());
    rmdir(path_.c_str());
  }
  std::string existing() const { return path_ + "/existing.jsonl"; }
  std::string fresh() const { return path_ + "/new.jsonl"; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// Everything written into a FIFO, read by a thread of its own until the last writer closes it.
class FifoReader {
 public:
  explicit FifoReader(std::string path) : path_(std::move(path)) {
    std::remove(path_.c_str());
    EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0);
    thread_ = std::thread([this] {
      int fd = open(path_.c_str(), O_RDONLY);
      char buf[4096];
      for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
        text_.append(buf, static_cast<std::size_t>(n));
      if (fd >= 0) close(fd);
    });
  }
  ~FifoReader() {
    if (thread_.joinable()) thread_.join();
    std::remove(path_.c_str());
  }
  const std::string &path() const { return path_; }
  // Once the program has ended: a reader still waiting for a writer is let go.
  std::string text() {
    if (int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) close(fd);
    thread_.join();
    return text_;
  }

 private:
  std::string path_, text_;
  std::thread thread_;
};

// --results on each kind of path: what the run does and what arrives there.
TEST(PhoneTestOutputs, EveryKindOfOutputPath) {
  ReadOnlyFolder readOnly;
  const std::string regular = tempPath("regular.jsonl"), fresh = tempPath("fresh.jsonl"),
                    target = tempPath("target.jsonl"), link = tempPath("link.jsonl"),
                    folder = tempPath("folder");
  std::ofstream(regular) << "{\"old\": 1}\n";
  std::remove(fresh.c_str());
  std::ofstream(target) << "";
  std::remove(link.c_str());
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  mkdir(folder.c_str(), 0700);
  struct stat devFull;
  ASSERT_EQ(stat("/dev/full", &devFull), 0) << "this test needs /dev/full";

  enum class Read { Nothing, File, Fifo, Stdout };
  struct Case {
    const char *name;
    std::string path;
    int exitCode;
    std::string message;  // on standard error
    Read where;           // where the records arrive
    std::string file;     // for Read::File
    std::size_t records;  // JSON lines that arrive there
  };
  const std::string fifo = tempPath("results.fifo"), stdoutPipe = tempPath("stdout.fifo");
  const std::vector<Case> cases{
      {"regular", regular, 0, "", Read::File, regular, 2},
      {"new", fresh, 0, "", Read::File, fresh, 1},
      {"/dev/null", "/dev/null", 0, "", Read::Nothing, "", 0},
      {"/dev/stdout piped", "/dev/stdout", 0, "", Read::Stdout, "", 1},
      {"FIFO", fifo, 0, "", Read::Fifo, "", 1},
      {"/dev/full", "/dev/full", 3, "--results: cannot write to /dev/full: No space left on device",
       Read::Nothing, "", 0},
      {"symlink", link, 0, "", Read::File, target, 1},
      {"directory", folder, 2, "--results: cannot open " + folder + " for writing: Is a directory",
       Read::Nothing, "", 0},
      {"unwritable", readOnly.existing(), 2,
       "--results: cannot open " + readOnly.existing() + " for writing", Read::File,
       readOnly.existing(), 1},
      {"new in an unwritable folder", readOnly.fresh(), 2,
       "--results: cannot open " + readOnly.fresh() + " for writing", Read::Nothing, "", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<FifoReader> reader;
    Start how;
    if (c.where == Read::Fifo) reader.emplace(fifo);
    if (c.where == Read::Stdout) {
      reader.emplace(stdoutPipe);
      how.output = stdoutPipe;
    }
    Outcome r = runProgram(fast({"--serial", "SN1", "--results", c.path}), how);
    std::string arrived = c.where == Read::File ? slurp(c.file) : reader ? reader->text() : "";
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    if (c.message.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    if (c.where != Read::Nothing) {
      EXPECT_EQ(jsonLines(arrived).size(), c.records) << arrived;
      EXPECT_TRUE(!arrived.empty() && arrived.back() == '\n') << arrived;
    }
  }
  struct stat st;
  EXPECT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) << "the link was replaced";
  for (const std::string &p : {regular, fresh, target, link}) std::remove(p.c_str());
  rmdir(folder.c_str());
}

// Stations that start together on one new file: each keeps its descriptor from the start-up
// check on, none removes the file another opened, and the CSV header is written once.
TEST(PhoneTestOutputs, StationsStartingTogetherOnOneNewFileKeepEveryRecord) {
  constexpr std::size_t kStations = 6, kSteps = 23;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::string results = tempPath("together.jsonl"), csv = tempPath("together.csv");
    std::remove(results.c_str());
    std::remove(csv.c_str());
    std::vector<Running> runs;
    for (std::size_t s = 0; s < kStations; ++s)
      runs.push_back(startProgram(
          fast({"--serial", "S" + std::to_string(s), "--results", results, "--csv", csv})));
    for (const Running &run : runs) EXPECT_EQ(finish(run).exitCode, 0);
    std::string text = slurp(results);
    std::set<std::string> serials;
    for (const nlohmann::json &j : jsonLines(text)) serials.insert(j.value("serial", ""));
    EXPECT_EQ(serials.size(), kStations) << text;
    EXPECT_EQ(lines(text).size(), kStations) << text;
    std::vector<std::vector<std::string>> rows = csvRows(slurp(csv));
    EXPECT_EQ(rows.size(), 1 + kStations * kSteps);
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                            [](const auto &row) { return row.at(0) == "serial"; }),
              1)
        << "one header";
    std::remove(results.c_str());
    std::remove(csv.c_str());
  }
}

// A record that cannot be written whole (the disk fills in the middle of it) is cut back, the run
// says so and exits 3; a file that already ends in a partial line gets the next record on a
// line of its own. Either way the next run's records are whole and readable.
TEST(PhoneTestOutputs, ARecordThatCannotBeWrittenWholeLeavesNoPartialLine) {
  struct Case {
    const char *option;
    bool torn;     // the file ends in a partial line before the run
    bool filling;  // the file may not grow past half a record more
  };
  const Case cases[] = {
      {"--results", false, true}, {"--csv", false, true},
      {"--results", true, false}, {"--csv", true, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.option) + (c.torn ? " torn" : " filling"));
    std::string path = tempPath("hostile_write");
    std::remove(path.c_str());
    ASSERT_EQ(runProgram(fast({"--serial", "A", c.option, path})).exitCode, 0);
    std::string one = slurp(path);
    if (c.torn) std::ofstream(path, std::ios::app | std::ios::binary) << one.substr(0, 60);
    const std::string before = slurp(path);

    Start how;
    if (c.filling) how.fileSizeLimit = static_cast<long long>(before.size() + one.size() / 2);
    Outcome r = runProgram(fast({"--serial", "B", c.option, path}), how);
    std::string after = slurp(path);
    if (c.filling) {
      EXPECT_EQ(r.exitCode, 3) << r.err;
      EXPECT_NE(r.err.find(std::string(c.option) + ": cannot write to " + path +
                           ": File too large; the partial record was removed"),
                std::string::npos)
          << r.err;
      EXPECT_EQ(after, before) << "the partial record stayed";
    } else {
      EXPECT_EQ(r.exitCode, 0) << r.err;
      ASSERT_GT(after.size(), before.size());
      const char *fresh = std::string(c.option) == "--csv" ? "\r\n" : "\n";
      EXPECT_EQ(after.substr(0, before.size() + std::strlen(fresh)), before + fresh)
          << "not on a fresh line";
    }

    ASSERT_EQ(runProgram(fast({"--serial", "C", c.option, path})).exitCode, 0);
    std::string text = slurp(path);
    const std::size_t whole = c.filling ? 2 : 3;  // records in the file
    if (std::string(c.option) == "--results") {
      EXPECT_EQ(jsonLines(text).size(), whole) << text;
      EXPECT_EQ(lines(text).size(), whole + (c.torn ? 1 : 0)) << text;
    } else {
      std::vector<std::vector<std::string>> rows = csvRows(text);
      std::size_t full = static_cast<std::size_t>(std::count_if(
          rows.begin(), rows.end(), [&](const auto &row) { return row.size() == rows[0].size(); }));
      EXPECT_EQ(full, 1 + whole * 23) << text;
      EXPECT_EQ(rows.size(), full + (c.torn ? 1 : 0)) << text;
    }
    EXPECT_TRUE(!text.empty() && text.back() == '\n');
    std::remove(path.c_str());
  }
}

// CSV text cells hold what the JSON holds (U+FFFD for bytes that are not UTF-8) and never start
// a formula; number cells stay numbers; the terminal never gets a serial's control characters.
TEST(PhoneTestOutputs, CsvAndTerminalNeverRunWhatASerialHolds) {
  struct Case {
    std::string serial, cell;
  };
  const std::vector<Case> cases{
      {"=HYPERLINK(\"http://x\")", "'=HYPERLINK(\"http://x\")"},
      {"+1", "'+1"},
      {"-5", "'-5"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\xff" "9\xc3", "\xEF\xBF\xBD" "9\xEF\xBF\xBD"},
      {"SN\x1b[2J\x07\xc2\x9b", "SN\x1b[2J\x07\xc2\x9b"},
      {"SN7", "SN7"},
  };
  std::string serials = tempPath("serials.txt"), results = tempPath("cells.jsonl"),
              csv = tempPath("cells.csv");
  std::remove(results.c_str());
  std::remove(csv.c_str());
  {
    std::ofstream f(serials, std::ios::binary);
    for (const Case &c : cases) f << c.serial << "\n";
  }
  Outcome r = runProgram(fast({"--serials", serials, "--results", results, "--csv", csv}));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(std::count_if(r.out.begin(), r.out.end(),
                          [](char ch) { return (ch >= 0 && ch < 0x20 && ch != '\n') || ch == 0x7f; }),
            0)
      << r.out;
  EXPECT_NE(r.out.find("phone 6 of 7 SN\\x1B[2J\\x07\\xC2\\x9B PASS"), std::string::npos) << r.out;

  std::vector<nlohmann::json> recs = jsonLines(slurp(results));
  std::vector<std::vector<std::string>> rows = csvRows(slurp(csv));
  ASSERT_EQ(recs.size(), cases.size());
  ASSERT_EQ(rows.size(), 1 + cases.size() * 23);
  const std::size_t value = static_cast<std::size_t>(
      std::find(rows[0].begin(), rows[0].end(), "value") - rows[0].begin());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].serial);
    const std::vector<std::string> &minimumPower = rows[1 + i * 23 + 13];
    EXPECT_EQ(minimumPower[0], cases[i].cell);
    std::string json = recs[i]["serial"];
    EXPECT_EQ(json, cases[i].cell[0] == '\'' ? cases[i].cell.substr(1) : cases[i].cell);
    ASSERT_LT(value, minimumPower.size());
    EXPECT_TRUE(std::regex_match(minimumPower[value], std::regex(R"(-5\d\.\d+)")))
        << "a negative reading stays a number: " << minimumPower[value];
  }
  for (const std::string &p : {serials, results, csv}) std::remove(p.c_str());
}

// Two stations on one simulator trace file: each adds its conversation, neither truncates.
TEST(PhoneTestOutputs, StationsSharingOneTraceFileKeepBothConversations) {
  std::string trace = tempPath("shared.trace");
  std::remove(trace.c_str());
  Running first = startProgram(fast({"--trace=" + trace}));
  Running second = startProgram(fast({"--trace=" + trace}));
  EXPECT_EQ(finish(first).exitCode, 0);
  EXPECT_EQ(finish(second).exitCode, 0);
  std::string t = slurp(trace);
  auto count = [&](const std::string &what) {
    std::size_t n = 0;
    for (std::size_t at = t.find(what); at != std::string::npos; at = t.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("] = viOpenDefaultRM"), 2u) << t;
  EXPECT_EQ(count("] = viClose session 1\n"), 2u) << t;
  std::remove(trace.c_str());
}

// The plan takes what the test set takes: each band's channels, cell power, path loss; anything
// else is refused before the test set is touched. Limits may be huge, and print in full.
TEST(PhoneTestOutputs, PlanRangesAndHugeNumbers) {
  struct Case {
    std::vector<std::string> args;
    std::string refusal;  // empty: accepted
  };
  const std::string cellular = "is not a channel of band 0 USC, needs 1..799 or 991..1323";
  const std::vector<Case> cases{
      {{"--channel", "1"}, ""},
      {{"--channel", "799"}, ""},
      {{"--channel", "991"}, ""},
      {{"--channel", "1323"}, ""},
      {{"--channel", "0"}, "--channel: 0 " + cellular},
      {{"--channel", "900"}, "--channel: 900 " + cellular},
      {{"--channel", "1324"}, "--channel: 1324 " + cellular},
      {{"--band", "2", "--channel", "800"}, "--channel: 800 is not a channel of band 2 SEC800"},
      {{"--band", "1", "--channel", "0"}, ""},
      {{"--band", "3", "--channel", "1199"}, ""},
      {{"--band", "3", "--channel", "1200"},
       "--channel: 1200 is not a channel of band 3 USPC1900, needs 0..1199"},
      {{"--handoff-band", "0", "--handoff-channel", "0"}, "--handoff-channel: 0 " + cellular},
      {{"--cell-power", "-140"}, ""},
      {{"--cell-power", "-10"}, ""},
      {{"--cell-power", "5"}, "--cell-power needs a power in dBm, -140..-10, not \"5\""},
      {{"--cell-power", "-140.01"}, "--cell-power needs a power in dBm, -140..-10"},
      {{"--loss", "-100"}, ""},
      {{"--loss", "100"}, ""},
      {{"--loss", "1e308"}, "--loss needs a path loss in dB, -100..100, not \"1e308\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + (c.args.size() > 2 ? " " + c.args[3] : ""));
    std::vector<std::string> a = c.args;
    a.push_back("--print-plan");
    Outcome r = runProgram(a);
    EXPECT_EQ(r.exitCode, c.refusal.empty() ? 0 : 2) << r.err;
    if (!c.refusal.empty()) {
      EXPECT_NE(r.err.find(c.refusal), std::string::npos) << r.err;
    }
  }
  std::string plan = tempPath("ranges.toml");
  std::ofstream(plan) << "[handoff]\nband = 1\nchannel = 1300\n";
  Outcome fromFile = runProgram({"--plan", plan, "--print-plan"});
  EXPECT_EQ(fromFile.exitCode, 2);
  EXPECT_NE(fromFile.err.find(plan + ":3: handoff.channel: 1300 is not a channel of band 1 USPC"),
            std::string::npos)
      << fromFile.err;
  std::ofstream(plan) << "[cell]\nloss = 100.0000001\n";
  Outcome loss = runProgram({"--plan", plan, "--print-plan"});
  EXPECT_NE(loss.err.find(":2: cell.loss: 100.0000001 is out of range"), std::string::npos)
      << loss.err;
  std::remove(plan.c_str());

  Outcome huge = runProgram(
      fast({"--fer-max", "1e300", "--max-power-max", "123456789012345678901234567890"}));
  EXPECT_EQ(huge.exitCode, 0) << huge.err;
  EXPECT_NE(huge.out.find("<= 1e+300 %"), std::string::npos) << huge.out;
  EXPECT_NE(huge.out.find("23.00 .. 1.2345678901234568e+29 dBm"), std::string::npos) << huge.out;
  EXPECT_FALSE(std::regex_search(huge.out, std::regex(R"(\d{20})"))) << huge.out;
}

}  // namespace
