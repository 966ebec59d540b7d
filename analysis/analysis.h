// The analysis of phone records, one record at a time, into the result structs of results.h.
// Memory holds what the report shows (see the caps in results.h) and one small entry per serial
// (about 120 bytes, for first-pass and final yield), never the records themselves.
#pragma once

#include <deque>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "results.h"
#include "stats.h"

namespace zolvane::analysis {

// Which records count; empty or none: any.
struct Filter {
  std::string station;  // the station's name
  std::string plan;     // the plan's name or its hash
  std::optional<TimeMs> since, until;  // start in [since, until)
  std::string describe() const;       // in words, empty for no filter
};

class Analysis {
 public:
  explicit Analysis(Filter filter = {});

  enum class Added { Counted, Refused, FilteredOut, Duplicate };
  // One record as written (schema 1 or 2). Refused: not a record (why says what is wrong).
  Added add(const nlohmann::json &record, std::string &why);
  // A line of the input that was not a record: counted, and named while few.
  void skip(const std::string &whereAndWhy);
  void addSource(const std::string &name);
  void setPlanToml(std::string text) { planToml_ = std::move(text); }

  const InputFacts &input() const { return input_; }
  Report report() const;

 private:
  // A serial's attempts in one group, in 24 bytes: the first and the last by start time (ties
  // in reading order) and how many.
  struct Slot {
    std::uint32_t group = 0;
    std::uint32_t attempts = 0;  // PASS and FAIL runs
    TimeMs firstTime = 0, lastTime = 0;
    bool sawFirst = false;  // the serial's first run is among those read
    bool firstPass = false, lastPass = false;
  };
  // A serial tested at one station under one plan (the usual case) has one slot: its station's
  // and its plan's are the same. Only a serial seen at a second station or under a second plan
  // gets slots of its own per group, in more_.
  static constexpr std::uint32_t kNoGroup = 0xFFFFFFFEu, kSplit = 0xFFFFFFFFu;
  struct Entry {
    Slot all;
    std::uint32_t station = kNoGroup, plan = kNoGroup;  // the one group of all its runs, or kSplit
    std::uint32_t more = 0;  // 1 + index into more_
  };
  struct GroupCounts {
    YieldGroup runs;  // run counts; the serial counts are made in report()
  };
  struct StepState {
    StepStats stats;
    RunningStats running;
    bool measured = false;  // a value or a limit seen
    bool charted = false;
    std::size_t failPhones = 0, failRuns = 0;
  };
  struct ChartState {
    std::uint32_t step;
    std::deque<Point> points;  // the latest kMaxPoints readings
    std::size_t leftOut = 0;
  };

  static void attempt(Slot &s, TimeMs time, bool passed, bool first);
  std::uint32_t groupOf(std::vector<GroupCounts> &groups,
                        std::unordered_map<std::string, std::uint32_t> &index,
                        const std::string &key);
  Slot *slotFor(Entry &e, std::uint32_t Entry::*which, std::uint32_t group);
  void countName(std::vector<Named> &list, const std::string &name);
  void steps(const nlohmann::json &record, Verdict verdict, const std::string &serial,
             std::optional<TimeMs> time, std::uint32_t serialId);
  static void fold(YieldGroup &g, const Slot &s);

  Filter filter_;
  InputFacts input_;
  Header header_;
  std::string planToml_;

  GroupCounts all_;
  std::vector<GroupCounts> stations_, plans_;
  std::unordered_map<std::string, std::uint32_t> stationIndex_, planIndex_;

  std::unordered_map<std::string, std::uint32_t> serialIndex_;
  std::deque<Entry> entries_;
  std::vector<std::vector<Slot>> more_;
  std::unordered_set<std::uint64_t> failedPairs_;  // serial id << 32 | step: Pareto by phone
  struct Id {
    std::uint64_t hi, lo;
    bool operator==(const Id &) const = default;
  };
  struct IdHash {
    std::size_t operator()(const Id &id) const { return static_cast<std::size_t>(id.hi ^ id.lo); }
  };
  std::unordered_set<Id, IdHash> ids_;  // record_id seen (schema 2), as 128 bits

  std::vector<StepState> steps_;
  std::unordered_map<std::string, std::uint32_t> stepIndex_;
  std::size_t stepReadingsLeftOut_ = 0;
  std::vector<ChartState> charts_;
  std::size_t chartsLeftOut_ = 0;
  RunningStats testTime_;

  std::vector<PhoneRow> phones_;
  std::size_t phonesLeftOut_ = 0;
};

}  // namespace zolvane::analysis
