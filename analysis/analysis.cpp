#include "analysis.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "format.h"
#include "record_schema.h"

namespace zolvane::analysis {
namespace {

using nlohmann::json;

constexpr TimeMs kNoTime = std::numeric_limits<TimeMs>::min();

std::string textAt(const json &obj, const char *key) {
  const auto it = obj.find(key);
  return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A number that is there: null, absence and a non-finite number are none.
std::optional<double> numberAt(const json &obj, const char *key) {
  const auto it = obj.find(key);
  if (it == obj.end() || !it->is_number()) return std::nullopt;
  const double v = it->get<double>();
  if (!std::isfinite(v)) return std::nullopt;
  return v;
}

bool sameLimit(const std::optional<double> &a, const std::optional<double> &b) {
  return a.has_value() == b.has_value() && (!a || *a == *b);
}

std::optional<Verdict> verdictOf(const json &v) {
  if (!v.is_string()) return std::nullopt;
  const auto &s = v.get_ref<const std::string &>();
  for (Verdict k : {Verdict::Pass, Verdict::Fail, Verdict::Error, Verdict::Aborted})
    if (s == verdictName(k)) return k;
  return std::nullopt;
}

// 32 hex digits of a UUID's text; false for anything else.
template <typename Id>
bool idBits(const std::string &text, Id &id) {
  std::uint64_t half[2] = {0, 0};
  int n = 0;
  for (char c : text) {
    if (c == '-') continue;
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (d < 0 || n >= 32) return false;
    half[n / 16] = half[n / 16] << 4 | static_cast<std::uint64_t>(d);
    ++n;
  }
  id = Id{half[0], half[1]};
  return n == 32;
}

void countRun(YieldGroup &g, Verdict v) {
  ++g.runs;
  switch (v) {
    case Verdict::Pass: ++g.pass; break;
    case Verdict::Fail: ++g.fail; break;
    case Verdict::Error: ++g.error; break;
    case Verdict::Aborted: ++g.aborted; break;
  }
}

StepStats statsOf(const RunningStats &r, StepStats s) {
  s.count = r.count();
  if (s.count > 0) s.mean = r.mean(), s.min = r.min(), s.max = r.max();
  s.stddev = r.stddev();
  s.cpk = cpkOf(s);
  return s;
}

}  // namespace

std::string Filter::describe() const {
  std::string s;
  auto add = [&](const std::string &part) { s += (s.empty() ? "" : ", ") + part; };
  if (!station.empty()) add("station " + station);
  if (!plan.empty()) add("plan " + plan);
  if (since) add("from " + timeText(*since));
  if (until) add("before " + timeText(*until));
  return s;
}

Analysis::Analysis(Filter filter) : filter_(std::move(filter)) {
  all_.runs.key = "all";
  input_.filter = filter_.describe();
}

void Analysis::addSource(const std::string &name) { input_.sources.push_back(name); }

void Analysis::skip(const std::string &whereAndWhy) {
  ++input_.skipped;
  if (input_.skippedNamed.size() < kMaxNamedSkips) input_.skippedNamed.push_back(whereAndWhy);
}

void Analysis::attempt(Slot &s, TimeMs time, bool passed, bool first) {
  if (first) s.sawFirst = true;
  if (s.attempts == 0 || time < s.firstTime) s.firstTime = time, s.firstPass = passed;
  if (s.attempts == 0 || time >= s.lastTime) s.lastTime = time, s.lastPass = passed;
  ++s.attempts;
}

std::uint32_t Analysis::groupOf(std::vector<GroupCounts> &groups,
                                std::unordered_map<std::string, std::uint32_t> &index,
                                const std::string &key) {
  // Past kMaxNames groups, the rest share one: memory stays bounded by what is shown.
  const std::string &k = index.size() < kMaxNames || index.count(key) ? key : "(others)";
  auto [it, isNew] = index.try_emplace(k, static_cast<std::uint32_t>(groups.size()));
  if (isNew) {
    groups.emplace_back();
    groups.back().runs.key = k;
  }
  return it->second;
}

// The slot of the serial's runs in `group` (a station's or a plan's), or none while every run of
// the serial is in that group (its `all` slot is the group's then).
Analysis::Slot *Analysis::slotFor(Entry &e, std::uint32_t Entry::*which, std::uint32_t group) {
  std::uint32_t &only = e.*which;
  if (only == kNoGroup) only = group;
  if (only == group) return nullptr;
  if (e.more == 0) {
    more_.emplace_back();
    e.more = static_cast<std::uint32_t>(more_.size());
  }
  std::vector<Slot> &more = more_[e.more - 1];
  // Station and plan groups are numbered apart: the top bit tells them apart here.
  const std::uint32_t tag = which == &Entry::station ? 0x80000000u : 0u;
  if (only != kSplit) {
    // A second group: until now every run was in the first, so its slot is the serial's.
    more.push_back(e.all);
    more.back().group = only | tag;
    only = kSplit;
  }
  for (Slot &s : more)
    if (s.group == (group | tag)) return &s;
  more.push_back(Slot{});
  more.back().group = group | tag;
  return &more.back();
}

void Analysis::countName(std::vector<Named> &list, const std::string &name) {
  for (Named &n : list)
    if (n.name == name) {
      ++n.runs;
      return;
    }
  if (list.size() >= kMaxNames) {
    ++header_.namesLeftOut;
    return;
  }
  list.push_back(Named{name, 1});
}

Analysis::Added Analysis::add(const json &r, std::string &why) {
  if (!records::checkRecord(r, why)) return Added::Refused;
  const std::optional<Verdict> verdict = verdictOf(r["verdict"]);
  if (!verdict) {
    why = "verdict is not PASS, FAIL, ERROR or ABORTED";
    return Added::Refused;
  }
  const std::string serial = textAt(r, "serial"), station = textAt(r, "station");
  const std::string planName = textAt(r, "plan"), planHash = textAt(r, "plan_hash");
  const std::string start = textAt(r, "start");
  const std::optional<TimeMs> time = parseTime(start);

  if ((!filter_.station.empty() && station != filter_.station) ||
      (!filter_.plan.empty() && planName != filter_.plan && planHash != filter_.plan) ||
      ((filter_.since || filter_.until) && !time) || (filter_.since && *time < *filter_.since) ||
      (filter_.until && *time >= *filter_.until)) {
    ++input_.filteredOut;
    return Added::FilteredOut;
  }
  const int version = r["schema_version"].get<int>();
  std::optional<long long> attemptNo;
  if (version >= 2) {
    Id id{};
    if (idBits(textAt(r, "record_id"), id) && !ids_.insert(id).second) {
      ++input_.duplicates;
      return Added::Duplicate;
    }
    attemptNo = r["attempt"].get<long long>();
  }
  ++input_.records;

  // Header facts.
  countName(header_.stations, station);
  countName(header_.operators, textAt(r, "operator"));
  if (version >= 2) countName(header_.hosts, textAt(r, "host"));
  {
    auto p = std::find_if(header_.plans.begin(), header_.plans.end(), [&](const PlanName &x) {
      return x.name == planName && x.hash == planHash;
    });
    if (p != header_.plans.end())
      ++p->runs;
    else if (header_.plans.size() < kMaxNames)
      header_.plans.push_back(PlanName{planName, planHash, 1});
    else
      ++header_.namesLeftOut;
  }
  if (time) {
    header_.first = header_.first ? std::min(*header_.first, *time) : *time;
    header_.last = header_.last ? std::max(*header_.last, *time) : *time;
  }
  if (version < 2)
    ++header_.unknown;
  else if (r["test_set"]["simulated"].get<bool>())
    ++header_.simulated;
  else
    ++header_.real;
  if (const std::optional<double> d = numberAt(r, "duration_s")) testTime_.add(*d);

  // Runs by group; attempts by serial.
  const std::uint32_t stationGroup = groupOf(stations_, stationIndex_, station);
  const std::uint32_t planGroup = groupOf(plans_, planIndex_, planName);
  countRun(all_.runs, *verdict);
  countRun(stations_[stationGroup].runs, *verdict);
  countRun(plans_[planGroup].runs, *verdict);

  const bool isAttempt = *verdict == Verdict::Pass || *verdict == Verdict::Fail;
  const bool passed = *verdict == Verdict::Pass;
  // A schema-1 record cannot say whether earlier runs exist: its serial's earliest run read is
  // taken as the first. A schema-2 record says: attempt 1 is the serial's first run.
  const bool first = !attemptNo || *attemptNo == 1;
  std::uint32_t serialId = std::numeric_limits<std::uint32_t>::max();
  if (serial.empty()) {
    // No serial: each run is a phone of its own.
    if (isAttempt) {
      for (YieldGroup *g : {&all_.runs, &stations_[stationGroup].runs, &plans_[planGroup].runs}) {
        ++g->serials, ++g->firstAttempts;
        g->firstPass += passed, g->finalPass += passed;
      }
    }
  } else if (isAttempt || first) {
    auto [it, isNew] =
        serialIndex_.try_emplace(serial, static_cast<std::uint32_t>(entries_.size()));
    if (isNew) entries_.emplace_back();
    serialId = it->second;
    Entry &e = entries_[serialId];
    const TimeMs t = time ? *time : kNoTime;
    auto count = [&](Slot *s) {
      if (!s) return;
      if (isAttempt)
        attempt(*s, t, passed, first);
      else
        s->sawFirst = true;
    };
    // The group slots before the serial's own: a split copies it as it was before this run.
    count(slotFor(e, &Entry::station, stationGroup));
    count(slotFor(e, &Entry::plan, planGroup));
    count(&e.all);
  }

  // The failing and ERROR phones.
  if (*verdict == Verdict::Fail || *verdict == Verdict::Error) {
    if (phones_.size() >= kMaxPhones) {
      ++phonesLeftOut_;
    } else {
      PhoneRow row;
      row.serial = serial, row.station = station, row.start = start, row.time = time;
      row.verdict = *verdict, row.attempt = attemptNo;
      const json *cause = nullptr;
      if (const auto steps = r.find("steps"); steps != r.end()) {
        for (const json &s : *steps) {
          const std::optional<Verdict> v = verdictOf(s["verdict"]);
          if (v == verdict) {
            cause = &s;
            break;
          }
          if (!cause && s["verdict"] != "PASS" && s["verdict"] != "SKIP") cause = &s;
        }
      }
      if (cause) {
        row.step = textAt(*cause, "name"), row.unit = textAt(*cause, "unit");
        row.note = textAt(*cause, "note");
        row.value = numberAt(*cause, "value");
        row.low = numberAt(*cause, "low"), row.high = numberAt(*cause, "high");
      }
      phones_.push_back(std::move(row));
    }
  }
  steps(r, *verdict, serial, time, serialId);
  return Added::Counted;
}

void Analysis::steps(const json &r, Verdict verdict, const std::string &serial,
                     std::optional<TimeMs> time, std::uint32_t serialId) {
  const auto steps = r.find("steps");
  if (steps == r.end()) return;
  for (const json &s : *steps) {
    const std::string &name = s["name"].get_ref<const std::string &>();
    auto found = stepIndex_.find(name);
    if (found == stepIndex_.end()) {
      if (steps_.size() >= kMaxSteps) {
        ++stepReadingsLeftOut_;
        continue;
      }
      found = stepIndex_.emplace(name, static_cast<std::uint32_t>(steps_.size())).first;
      steps_.emplace_back();
      steps_.back().stats.name = name;
    }
    const std::uint32_t index = found->second;
    StepState &st = steps_[index];
    const std::optional<double> value = numberAt(s, "value");
    const std::optional<double> low = numberAt(s, "low"), high = numberAt(s, "high");
    const std::string stepVerdict = s["verdict"].get<std::string>();

    if (stepVerdict == "ERROR") ++st.stats.errors;
    if (stepVerdict == "FAIL") {
      ++st.stats.fails;
      // The Pareto counts FAIL runs only: a step that failed in an ERROR run is the station's.
      if (verdict == Verdict::Fail) {
        ++st.failRuns;
        if (serial.empty() || failedPairs_.insert(std::uint64_t{serialId} << 32 | index).second)
          ++st.failPhones;
      }
    }
    if (!value && !low && !high) continue;  // not a measured step
    if (!st.measured) {
      st.measured = true;
      st.stats.unit = textAt(s, "unit");
      st.stats.timing = st.stats.unit == "s";
      st.stats.low = low, st.stats.high = high;
    } else if (!sameLimit(st.stats.low, low) || !sameLimit(st.stats.high, high)) {
      st.stats.limitsVary = true;
    }
    if (!value) continue;
    st.running.add(*value);
    if (!st.charted) {
      if (charts_.size() >= kMaxCharts) {
        ++chartsLeftOut_;
        st.charted = true;  // counted once
        continue;
      }
      st.charted = true;
      charts_.push_back(ChartState{index, {}, 0});
    }
    auto chart = std::find_if(charts_.begin(), charts_.end(),
                              [&](const ChartState &c) { return c.step == index; });
    if (chart == charts_.end() || !time) continue;  // not charted, or nowhere on the time axis
    chart->points.push_back(Point{*time, *value, serial, verdict});
    if (chart->points.size() > kMaxPoints) {
      chart->points.pop_front();
      ++chart->leftOut;
    }
  }
}

void Analysis::fold(YieldGroup &g, const Slot &s) {
  if (s.attempts == 0) return;
  ++g.serials;
  if (s.sawFirst) {
    ++g.firstAttempts;
    g.firstPass += s.firstPass;
  }
  g.finalPass += s.lastPass;
  g.retests += s.attempts - (s.sawFirst ? 1u : 0u);
}

Report Analysis::report() const {
  Report out;
  out.input = input_;
  out.header = header_;
  out.planToml = planToml_;

  out.all = all_.runs;
  std::vector<YieldGroup> stations, plans;
  for (const GroupCounts &g : stations_) stations.push_back(g.runs);
  for (const GroupCounts &g : plans_) plans.push_back(g.runs);
  for (const Entry &e : entries_) {
    fold(out.all, e.all);
    if (e.station < kNoGroup) fold(stations[e.station], e.all);
    if (e.plan < kNoGroup) fold(plans[e.plan], e.all);
    if (e.more == 0) continue;
    for (const Slot &s : more_[e.more - 1]) {
      if (s.group & 0x80000000u)
        fold(stations[s.group & 0x7FFFFFFFu], s);
      else
        fold(plans[s.group], s);
    }
  }
  auto byKey = [](const YieldGroup &a, const YieldGroup &b) { return a.key < b.key; };
  std::sort(stations.begin(), stations.end(), byKey);
  std::sort(plans.begin(), plans.end(), byKey);
  out.byStation = std::move(stations);
  out.byPlan = std::move(plans);

  for (const StepState &s : steps_) {
    if (s.failRuns) out.pareto.push_back(ParetoRow{s.stats.name, s.failPhones, s.failRuns});
    if (s.measured) out.steps.push_back(statsOf(s.running, s.stats));
  }
  std::stable_sort(out.pareto.begin(), out.pareto.end(),
                   [](const ParetoRow &a, const ParetoRow &b) {
                     return a.phones != b.phones ? a.phones > b.phones : a.runs > b.runs;
                   });
  out.stepReadingsLeftOut = stepReadingsLeftOut_;

  out.phones = phones_;
  std::stable_sort(out.phones.begin(), out.phones.end(), [](const PhoneRow &a, const PhoneRow &b) {
    return a.time.value_or(kNoTime) < b.time.value_or(kNoTime);
  });
  out.phonesLeftOut = phonesLeftOut_;

  std::vector<Mark> errors;
  for (const PhoneRow &p : out.phones)
    if (p.verdict == Verdict::Error && p.time) errors.push_back(Mark{*p.time, p.serial});
  for (const ChartState &c : charts_) {
    const StepStats &s = steps_[c.step].stats;
    StepChart chart;
    RunSeries &rs = chart.runs;
    rs.title = s.name, rs.unit = s.unit, rs.leftOut = c.leftOut;
    if (!s.limitsVary) rs.low = s.low, rs.high = s.high;
    rs.points.assign(c.points.begin(), c.points.end());
    std::stable_sort(rs.points.begin(), rs.points.end(),
                     [](const Point &a, const Point &b) { return a.time < b.time; });
    rs.errors = errors;
    std::vector<double> values;
    values.reserve(rs.points.size());
    for (const Point &p : rs.points) values.push_back(p.value);
    chart.histogram = distributionOf(rs.title, rs.unit, rs.low, rs.high, values);
    chart.histogram.leftOut = c.leftOut;
    out.charts.push_back(std::move(chart));
  }
  out.chartsLeftOut = chartsLeftOut_;

  StepStats t;
  t.name = "Test time", t.unit = "s", t.timing = true;
  out.testTime = statsOf(testTime_, t);
  return out;
}

}  // namespace zolvane::analysis
