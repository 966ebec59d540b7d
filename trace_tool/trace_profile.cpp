#include "trace_profile.h"

#include <charconv>
#include <cmath>
#include <map>
#include <sstream>
#include <tuple>

#include <toml++/toml.h>

namespace zolvane::trace {
namespace {

constexpr int kFormatVersion = 1;
constexpr std::size_t kMaxFields = 64;
constexpr std::size_t kMaxText = 4096;

std::string upper(std::string_view s) {
  std::string out(s);
  for (char &c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

bool number(std::string_view s, double &out) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  if (s.empty()) return false;
  bool negative = s[0] == '-';
  if (s[0] == '+' || s[0] == '-') s.remove_prefix(1);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(out)) return false;
  if (negative) out = -out;
  return true;
}

std::vector<std::string_view> fields(std::string_view s) {
  std::vector<std::string_view> out;
  for (;;) {
    std::size_t comma = s.find(',');
    out.push_back(s.substr(0, comma));
    if (comma == std::string_view::npos) return out;
    s.remove_prefix(comma + 1);
  }
}

// A reading: every field a number, one at least written as a real.
bool readingFields(std::string_view answer, std::vector<double> &values) {
  values.clear();
  bool real = false;
  for (std::string_view f : fields(answer)) {
    double v = 0;
    if (!number(f, v)) return false;
    real = real || f.find_first_of(".eE") != std::string_view::npos;
    values.push_back(v);
  }
  return real && values.size() <= kMaxFields;
}

// Where the station's own conversation says the call and the band are. Commands are compared
// in the forms the station sends, upper-cased.
struct Tracker {
  std::string band, setupBand, control;
  int channel = -1, setupChannel = -1;

  void command(const std::string &message) {
    std::string m = upper(message);
    auto value = [&](std::string_view head) { return m.substr(head.size()); };
    auto integer = [](const std::string &v, int &out) {
      int n = 0;
      if (std::from_chars(v.data(), v.data() + v.size(), n).ec == std::errc()) out = n;
    };
    if (m == "*RST") *this = Tracker{};
    else if (startsWith(m, "CALL:BAND ")) band = value("CALL:BAND ");
    else if (startsWith(m, "CALL:CHAN ")) integer(value("CALL:CHAN "), channel);
    else if (startsWith(m, "CALL:SET:BAND ")) setupBand = value("CALL:SET:BAND ");
    else if (startsWith(m, "CALL:CLPC:REV:MODE ")) control = value("CALL:CLPC:REV:MODE ");
    else if (startsWith(m, "CALL:SET:CHAN ")) integer(value("CALL:SET:CHAN "), setupChannel);
    else if (m == "CALL:HAND") {
      if (!setupBand.empty()) band = setupBand;
      if (setupChannel >= 0) channel = setupChannel;
    }
  }
};

// The waits the station makes: from a command to the first answer of a query that says it is done.
struct Wait {
  const char *command;
  const char *query;
  bool (*done)(const std::string &answer);
  Stats Profile::*into;
};
const Wait kWaits[] = {
    // The station counts the phone as registered once the ESN it reports is longer than 5.
    {"CALL:REG", "CALL:MS:REP:ESN?", [](const std::string &a) { return a.size() > 5; }, &Profile::registration},
    {"CALL:ORIG", "CALL:CONN:STAT?", [](const std::string &a) { return a == "1" || a == "+1"; }, &Profile::connection},
};

bool isErrorQuery(const std::string &m) {
  std::string u = upper(m);
  return u == "SYST:ERR?" || u == "SYSTEM:ERROR?" || u == "SYST:ERR:NEXT?" || u == "SYSTEM:ERROR:NEXT?";
}
bool isFetch(const std::string &m) {
  std::string u = upper(m);
  return startsWith(u, "FETC:") || startsWith(u, "FETCH:") || startsWith(u, "READ:") || startsWith(u, "MEAS:");
}

}  // namespace

void Stats::add(double x) {
  ++count;
  if (count == 1) {
    mean = min = max = x;
    m2_ = 0;
  } else {
    double d = x - mean;
    mean += d / static_cast<double>(count);
    m2_ += d * (x - mean);
    min = std::min(min, x);
    max = std::max(max, x);
  }
  std = count > 1 ? std::sqrt(m2_ / static_cast<double>(count - 1)) : 0.0;
}

void Answers::add(const std::string &value) {
  for (std::size_t i = 0; i < values.size(); ++i)
    if (values[i] == value) {
      ++counts[i];
      return;
    }
  values.push_back(value);
  counts.push_back(1);
}

const Reading *Profile::reading(std::string_view query, std::string_view band, int channel,
                                std::string_view control) const {
  const Reading *any = nullptr;
  for (const Reading &r : readings) {
    if (r.query != query || r.control != control) continue;
    if (r.band == band && r.channel == channel) return &r;
    if (r.band.empty()) any = &r;
  }
  return any;
}

const Answers *Profile::errorsAfter(std::string_view command) const {
  for (const Answers &a : errors)
    if (a.key == command) return &a;
  return nullptr;
}

std::string numberFormat(std::string_view text) {
  std::size_t dot = text.find('.');
  std::size_t exp = text.find_first_of("eE");
  std::size_t digits = 0;
  if (dot != std::string_view::npos) digits = (exp == std::string_view::npos ? text.size() : exp) - dot - 1;
  digits = std::min<std::size_t>(digits, 17);
  if (exp != std::string_view::npos) return "%." + std::to_string(digits) + (text[exp] == 'e' ? "e" : "E");
  return "%." + std::to_string(digits) + "f";
}

Profile learn(const std::vector<Trace> &traces) {
  Profile p;
  std::map<std::tuple<std::string, std::string, int, std::string>, Reading> readings;
  std::map<std::string, Answers> answers, errors;
  std::vector<std::string> order;  // first appearance, so that the file reads like a run
  for (const Trace &t : traces) {
    p.runs += t.runs;
    Tracker where;
    std::string lastCommand;
    double waitStarted[std::size(kWaits)];
    for (double &w : waitStarted) w = -1;
    const auto &x = t.exchanges;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (x[i].kind != Exchange::Write || !x[i].known) continue;
      const std::string &message = x[i].bytes;
      const bool answered = i + 1 < x.size() && x[i + 1].kind == Exchange::Read && x[i + 1].known &&
                            x[i + 1].status >= 0;
      if (message.find('?') == std::string::npos) {
        where.command(message);
        lastCommand = message;
        for (std::size_t w = 0; w < std::size(kWaits); ++w)
          if (upper(message) == kWaits[w].command) waitStarted[w] = x[i].at;
        continue;
      }
      if (!answered) continue;
      const Exchange &a = x[i + 1];
      const double cameAt = a.at + a.took;
      for (std::size_t w = 0; w < std::size(kWaits); ++w) {
        if (waitStarted[w] < 0 || upper(message) != kWaits[w].query || !kWaits[w].done(a.bytes)) continue;
        (p.*kWaits[w].into).add(std::max(0.0, cameAt - waitStarted[w]));
        waitStarted[w] = -1;
      }
      if (isErrorQuery(message)) {
        auto [it, fresh] = errors.try_emplace(lastCommand);
        it->second.key = lastCommand;
        it->second.add(a.bytes);
        continue;
      }
      if (isFetch(message)) p.measurement.add(a.took);
      std::vector<double> values;
      if (readingFields(a.bytes, values)) {
        const std::vector<std::string_view> texts = fields(a.bytes);
        for (int all = 0; all < 2; ++all) {
          auto key = all ? std::make_tuple(message, std::string(), -1, where.control)
                         : std::make_tuple(message, where.band, where.channel, where.control);
          Reading &r = readings[key];
          if (r.fields.empty()) {
            r.query = message;
            std::tie(std::ignore, r.band, r.channel, r.control) = key;
            for (std::string_view f : texts) r.formats.push_back(numberFormat(f));
            r.fields.resize(values.size());
          }
          if (r.fields.size() != values.size()) continue;  // a different shape: not the same reading
          for (std::size_t f = 0; f < values.size(); ++f) r.fields[f].add(values[f]);
        }
        continue;
      }
      auto [it, fresh] = answers.try_emplace(message);
      it->second.key = message;
      it->second.add(a.bytes);
    }
  }
  for (auto &[k, r] : readings) p.readings.push_back(std::move(r));
  for (auto &[k, a] : answers) p.answers.push_back(std::move(a));
  for (auto &[k, a] : errors) p.errors.push_back(std::move(a));
  return p;
}

namespace {

toml::table statsTable(const Stats &s) {
  return toml::table{{"count", static_cast<int64_t>(s.count)}, {"mean", s.mean}, {"std", s.std},
                     {"min", s.min}, {"max", s.max}};
}

toml::table answersTable(const char *keyName, const Answers &a) {
  toml::array values, counts;
  for (std::size_t i = 0; i < a.values.size(); ++i) {
    values.push_back(a.values[i]);
    counts.push_back(static_cast<int64_t>(a.counts[i]));
  }
  return toml::table{{keyName, a.key}, {"values", values}, {"counts", counts}};
}

}  // namespace

std::string toToml(const Profile &p) {
  toml::table root{{"format", kFormatVersion}, {"runs", static_cast<int64_t>(p.runs)}};
  root.insert("delays", toml::table{{"registration", statsTable(p.registration)},
                                    {"connection", statsTable(p.connection)},
                                    {"measurement", statsTable(p.measurement)}});
  toml::array readings;
  for (const Reading &r : p.readings) {
    toml::array count, mean, std, min, max, format;
    for (std::size_t f = 0; f < r.fields.size(); ++f) {
      count.push_back(static_cast<int64_t>(r.fields[f].count));
      mean.push_back(r.fields[f].mean);
      std.push_back(r.fields[f].std);
      min.push_back(r.fields[f].min);
      max.push_back(r.fields[f].max);
      format.push_back(r.formats[f]);
    }
    toml::table t{{"query", r.query}};
    if (!r.band.empty()) t.insert("band", r.band);
    if (r.channel >= 0) t.insert("channel", r.channel);
    if (!r.control.empty()) t.insert("power_control", r.control);
    t.insert("count", count);
    t.insert("mean", mean);
    t.insert("std", std);
    t.insert("min", min);
    t.insert("max", max);
    t.insert("format", format);
    readings.push_back(std::move(t));
  }
  toml::array answers, errors;
  for (const Answers &a : p.answers) answers.push_back(answersTable("query", a));
  for (const Answers &a : p.errors) errors.push_back(answersTable("after", a));
  root.insert("reading", readings);
  root.insert("answers", answers);
  root.insert("errors", errors);
  std::ostringstream out;
  out << "# A test set's profile learned by zolvane_trace learn: readings per query, band and\n"
         "# channel; the answers of other queries; the error-queue answers after each command;\n"
         "# the delays the station waited on, in seconds.\n"
      << root << '\n';
  return out.str();
}

namespace {

// Each check names the key at fault.
struct Checker {
  std::string &error;

  bool fail(const std::string &where, const std::string &why) {
    error = where + ": " + why;
    return false;
  }
  bool text(const toml::node_view<const toml::node> n, const std::string &where, std::string &out, bool required) {
    if (!n) return !required || fail(where, "missing");
    const auto *s = n.as_string();
    if (!s) return fail(where, "not a string");
    if (s->get().size() > kMaxText) return fail(where, "too long");
    out = s->get();
    return true;
  }
  bool real(const toml::node &n, const std::string &where, double &out) {
    if (auto v = n.value<double>(); v && std::isfinite(*v)) {
      out = *v;
      return true;
    }
    return fail(where, "not a finite number");
  }
  bool count(const toml::node &n, const std::string &where, unsigned long &out) {
    const auto *i = n.as_integer();
    if (!i || i->get() < 0) return fail(where, "not a count");
    out = static_cast<unsigned long>(i->get());
    return true;
  }
  bool stats(const toml::node_view<const toml::node> n, const std::string &where, Stats &s) {
    if (!n) return true;  // a delay never seen
    const auto *t = n.as_table();
    if (!t) return fail(where, "not a table");
    const toml::node *c = t->get("count"), *m = t->get("mean"), *d = t->get("std"), *lo = t->get("min"),
                     *hi = t->get("max");
    if (!c || !m || !d || !lo || !hi) return fail(where, "needs count, mean, std, min and max");
    return count(*c, where + ".count", s.count) && real(*m, where + ".mean", s.mean) &&
           real(*d, where + ".std", s.std) && real(*lo, where + ".min", s.min) && real(*hi, where + ".max", s.max) &&
           consistent(s, where);
  }
  bool consistent(const Stats &s, const std::string &where) {
    if (s.std < 0) return fail(where, "std below 0");
    if (s.min > s.max) return fail(where, "min above max");
    return true;
  }
  // An array of `n` values (n = 0: any length up to the limit).
  const toml::array *array(const toml::table &t, const char *key, const std::string &where, std::size_t n) {
    const toml::array *a = t.get_as<toml::array>(key);
    if (!a) return fail(where + "." + key, "missing or not an array"), nullptr;
    if ((n && a->size() != n) || a->size() > 100000) return fail(where + "." + key, "wrong length"), nullptr;
    return a;
  }
};

// A format for snprintf must be one the learner writes and nothing else.
bool safeFormat(const std::string &f) {
  if (f.size() < 4 || f.size() > 5 || f[0] != '%' || f[1] != '.') return false;
  std::size_t i = 2;
  while (i < f.size() - 1 && f[i] >= '0' && f[i] <= '9') ++i;
  return i > 2 && i == f.size() - 1 && (f[i] == 'f' || f[i] == 'E' || f[i] == 'e');
}

}  // namespace

bool parseProfile(std::string_view text, Profile &out, std::string &error) {
  out = Profile{};
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error &e) {
    error = "line " + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
    return false;
  }
  Checker check{error};
  const toml::table &r = root;
  if (auto v = r["format"].value<int64_t>(); !v || *v != kFormatVersion)
    return check.fail("format", "needs " + std::to_string(kFormatVersion) + " (a profile of another version)");
  unsigned long runs = 0;
  if (const toml::node *n = root.get("runs"); n && !check.count(*n, "runs", runs)) return false;
  out.runs = static_cast<unsigned>(std::min<unsigned long>(runs, 1u << 30));
  if (!check.stats(r["delays"]["registration"], "delays.registration", out.registration) ||
      !check.stats(r["delays"]["connection"], "delays.connection", out.connection) ||
      !check.stats(r["delays"]["measurement"], "delays.measurement", out.measurement))
    return false;
  if (const toml::node *n = root.get("reading")) {
    const toml::array *list = n->as_array();
    if (!list) return check.fail("reading", "not an array of tables");
    for (std::size_t i = 0; i < list->size(); ++i) {
      const std::string where = "reading[" + std::to_string(i) + "]";
      const toml::table *t = (*list)[i].as_table();
      if (!t) return check.fail(where, "not a table");
      Reading g;
      const toml::table &v = *t;
      if (!check.text(v["query"], where + ".query", g.query, true) || !check.text(v["band"], where + ".band", g.band, false) ||
          !check.text(v["power_control"], where + ".power_control", g.control, false))
        return false;
      if (const toml::node *c = t->get("channel")) {
        const auto *ch = c->as_integer();
        if (!ch || ch->get() < 0 || ch->get() > 100000) return check.fail(where + ".channel", "not a channel");
        g.channel = static_cast<int>(ch->get());
      }
      const toml::array *count = check.array(*t, "count", where, 0);
      if (!count) return false;
      if (count->empty() || count->size() > kMaxFields) return check.fail(where + ".count", "wrong length");
      const std::size_t size = count->size();
      const toml::array *mean = check.array(*t, "mean", where, size),
                        *std = mean ? check.array(*t, "std", where, size) : nullptr,
                        *min = std ? check.array(*t, "min", where, size) : nullptr,
                        *max = min ? check.array(*t, "max", where, size) : nullptr,
                        *format = max ? check.array(*t, "format", where, size) : nullptr;
      if (!format) return false;
      for (std::size_t f = 0; f < size; ++f) {
        Stats s;
        const std::string at = "[" + std::to_string(f) + "]";
        if (!check.count((*count)[f], where + ".count" + at, s.count) || !check.real((*mean)[f], where + ".mean" + at, s.mean) ||
            !check.real((*std)[f], where + ".std" + at, s.std) || !check.real((*min)[f], where + ".min" + at, s.min) ||
            !check.real((*max)[f], where + ".max" + at, s.max) || !check.consistent(s, where + at))
          return false;
        const auto *fmt = (*format)[f].as_string();
        if (!fmt || !safeFormat(fmt->get())) return check.fail(where + ".format" + at, "not a number format such as \"%.6E\"");
        g.fields.push_back(s);
        g.formats.push_back(fmt->get());
      }
      out.readings.push_back(std::move(g));
    }
  }
  for (auto [key, keyName, into] : {std::make_tuple("answers", "query", &out.answers),
                                    std::make_tuple("errors", "after", &out.errors)}) {
    const toml::node *n = root.get(key);
    if (!n) continue;
    const toml::array *list = n->as_array();
    if (!list) return check.fail(key, "not an array of tables");
    for (std::size_t i = 0; i < list->size(); ++i) {
      const std::string where = std::string(key) + "[" + std::to_string(i) + "]";
      const toml::table *t = (*list)[i].as_table();
      if (!t) return check.fail(where, "not a table");
      Answers a;
      if (!check.text((*t)[keyName], where + "." + keyName, a.key, true)) return false;
      const toml::array *values = check.array(*t, "values", where, 0);
      const toml::array *counts = values ? check.array(*t, "counts", where, values->size()) : nullptr;
      if (!counts) return false;
      for (std::size_t v = 0; v < values->size(); ++v) {
        std::string value;
        unsigned long c = 0;
        const std::string at = "[" + std::to_string(v) + "]";
        if (!check.text(toml::node_view<const toml::node>{&(*values)[v]}, where + ".values" + at, value, true) ||
            !check.count((*counts)[v], where + ".counts" + at, c))
          return false;
        a.values.push_back(std::move(value));
        a.counts.push_back(c);
      }
      into->push_back(std::move(a));
    }
  }
  return true;
}

bool readProfile(const std::string &path, Profile &out, std::string &error) {
  std::string text;
  if (!readWholeFile(path, text, error)) return false;
  if (!parseProfile(text, out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace zolvane::trace
