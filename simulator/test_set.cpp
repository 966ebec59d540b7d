#include "test_set.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace zolvane_sim {

using Params = std::vector<std::string_view>;
using SetFn = std::function<int(TestSet &, const Params &, Seconds)>;
using QueryFn = std::function<TestSet::Reply(TestSet &, Seconds)>;

struct TestSet::Entry {
  Entry(const char *notation, SetFn s, QueryFn q)
      : header(notation), set(std::move(s)), query(std::move(q)) {}
  HeaderPattern header;
  SetFn set;      // empty: the header has no command form
  QueryFn query;  // empty: no query form
};

namespace {

constexpr std::size_t kErrorQueueSize = 30;
constexpr double kSensitivityFchLevel = -15.6;  // the FCH level the phone's sensitivity refers to
constexpr double kFerAtSensitivity = 0.005;
constexpr double kCallHoldMargin = -3.0;  // dB below sensitivity where the link is lost

struct Unit {
  const char *name;
  double factor;
};
const std::vector<Unit> kNoUnit{{"", 1.0}};
const std::vector<Unit> kDb{{"", 1.0}, {"DB", 1.0}};
const std::vector<Unit> kDbm{{"", 1.0}, {"DBM", 1.0}};
const std::vector<Unit> kHz{{"", 1.0}, {"HZ", 1.0}, {"KHZ", 1e3}, {"MHZ", 1e6}, {"GHZ", 1e9}};
const std::vector<Unit> kSeconds{{"", 1.0}, {"S", 1.0}, {"MS", 1e-3}};

int countOne(const Params &p) {
  if (p.empty()) return err::kMissingParameter;
  if (p.size() > 1) return err::kParameterNotAllowed;
  return err::kNone;
}

bool isWord(std::string_view item, const char *notation) {
  return HeaderPattern(notation).matches({upper(item)});
}

int number(std::string_view item, double lo, double hi, const std::vector<Unit> &units,
           double &out) {
  if (isWord(item, "MINimum")) { out = lo; return err::kNone; }
  if (isWord(item, "MAXimum")) { out = hi; return err::kNone; }
  double v = 0.0;
  std::string suffix;
  if (int e = parseNumeric(item, v, suffix)) return e;
  const Unit *unit = nullptr;
  for (const Unit &u : units)
    if (suffix == u.name) unit = &u;
  if (!unit) return err::kInvalidSuffix;
  v *= unit->factor;
  // A relative tolerance, so that 836.52 MHz is not lost to rounding in the unit's factor.
  double slack = 1e-9 * std::max(std::fabs(lo), std::fabs(hi));
  if (v < lo - slack || v > hi + slack) return err::kDataOutOfRange;
  out = std::clamp(v, lo, hi);
  return err::kNone;
}

// A list parameter of numbers, each within [lo, hi] in one of `units`: "800000000,825570000".
int numberList(const Params &p, double lo, double hi, const std::vector<Unit> &units,
               std::vector<double> &out) {
  if (p.empty()) return err::kMissingParameter;
  if (p.size() > 20) return err::kParameterNotAllowed;
  std::vector<double> list;
  for (std::string_view item : p) {
    double v = 0.0;
    if (int e = number(item, lo, hi, units, v)) return e;
    list.push_back(v);
  }
  out = std::move(list);
  return err::kNone;
}

int integer(std::string_view item, int lo, int hi, int &out) {
  double v = 0.0;
  if (int e = number(item, lo, hi, kNoUnit, v)) return e;
  out = static_cast<int>(std::lround(v));
  return err::kNone;
}

int boolean(std::string_view item, bool &out) {
  std::string v = upper(item);
  if (v == "ON" || v == "1") { out = true; return err::kNone; }
  if (v == "OFF" || v == "0") { out = false; return err::kNone; }
  double d = 0.0;
  std::string suffix;
  return parseNumeric(item, d, suffix) == err::kNone ? err::kDataOutOfRange
                                                     : err::kIllegalParameterValue;
}

// Matches a character parameter against choices in SCPI notation; `out` gets the short form.
int choose(std::string_view item, const std::vector<const char *> &choices, std::string &out) {
  for (const char *c : choices) {
    if (isWord(item, c)) {
      out.clear();
      for (const char *p = c; *p; ++p)
        if (!(*p >= 'a' && *p <= 'z')) out += *p;
      return err::kNone;
    }
  }
  return err::kIllegalParameterValue;
}

TestSet::Reply answer(std::string text) { return TestSet::Reply{true, std::move(text), 0.0}; }

template <class T>
using Ref = std::function<T &(Settings &)>;

template <class T>
Ref<T> at(T Settings::*field) {
  return [field](Settings &s) -> T & { return s.*field; };
}
template <class T>
Ref<T> at(Measurement Settings::*m, T Measurement::*field) {
  return [m, field](Settings &s) -> T & { return (s.*m).*field; };
}

std::string joinList(const std::vector<double> &values, bool scientific) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ',';
    out += scientific ? formatScientific(values[i]) : formatFixed(values[i], 2);
  }
  return out;
}

}  // namespace

// Builds the command table; a friend, so that the handlers reach the model.
struct TableBuilder {
  using Entry = TestSet::Entry;

  static Entry flag(const char *notation, Ref<bool> ref) {
    return Entry(
        notation,
        [ref](TestSet &t, const Params &p, Seconds) {
          if (int e = countOne(p)) return e;
          bool v = false;
          if (int e = boolean(p[0], v)) return e;
          ref(t.s_) = v;
          return 0;
        },
        [ref](TestSet &t, Seconds) { return answer(ref(t.s_) ? "1" : "0"); });
  }

  static Entry real(const char *notation, Ref<double> ref, double lo, double hi,
                    const std::vector<Unit> &units, bool scientific = false) {
    return Entry(
        notation,
        [ref, lo, hi, &units](TestSet &t, const Params &p, Seconds) {
          if (int e = countOne(p)) return e;
          double v = 0.0;
          if (int e = number(p[0], lo, hi, units, v)) return e;
          ref(t.s_) = v;
          return 0;
        },
        [ref, scientific](TestSet &t, Seconds) {
          double v = ref(t.s_);
          return answer(scientific ? formatScientific(v) : formatFixed(v, 2));
        });
  }

  static Entry whole(const char *notation, Ref<int> ref, int lo, int hi) {
    return Entry(
        notation,
        [ref, lo, hi](TestSet &t, const Params &p, Seconds) {
          if (int e = countOne(p)) return e;
          int v = 0;
          if (int e = integer(p[0], lo, hi, v)) return e;
          ref(t.s_) = v;
          return 0;
        },
        [ref](TestSet &t, Seconds) { return answer(std::to_string(ref(t.s_))); });
  }

  static Entry oneOf(const char *notation, Ref<std::string> ref,
                     std::vector<const char *> choices) {
    return Entry(
        notation,
        [ref, choices](TestSet &t, const Params &p, Seconds) {
          if (int e = countOne(p)) return e;
          return choose(p[0], choices, ref(t.s_));
        },
        [ref](TestSet &t, Seconds) { return answer(ref(t.s_)); });
  }

  // A command without parameters.
  static Entry action(const char *notation, std::function<int(TestSet &, Seconds)> fn) {
    return Entry(
        notation,
        [fn](TestSet &t, const Params &p, Seconds now) {
          if (!p.empty()) return err::kParameterNotAllowed;
          return fn(t, now);
        },
        nullptr);
  }

  static Entry query(const char *notation, QueryFn fn) {
    return Entry(notation, nullptr, std::move(fn));
  }

  static void measurement(std::vector<Entry> &table, const char *name, Measurement Settings::*m,
                          bool counted) {
    std::string init = std::string("INITiate:") + name;
    std::string setup = std::string("SETup:") + name;
    table.push_back(Entry(
        (init + "[:ON]").c_str(),
        [m](TestSet &t, const Params &p, Seconds now) {
          if (!p.empty()) return err::kParameterNotAllowed;
          Measurement &meas = t.s_.*m;
          meas.running = true;
          meas.startedAt = now;
          meas.haveResult = false;
          return 0;
        },
        [m](TestSet &t, Seconds) { return answer((t.s_.*m).running ? "1" : "0"); }));
    table.push_back(action((init + ":OFF").c_str(), [m](TestSet &t, Seconds) {
      (t.s_.*m).running = false;
      (t.s_.*m).haveResult = false;
      return 0;
    }));
    if (counted) {
      table.push_back(flag((setup + ":CONTinuous").c_str(), at(m, &Measurement::continuous)));
      table.push_back(flag((setup + ":COUNt[:STATe]").c_str(), at(m, &Measurement::countOn)));
      table.push_back(whole((setup + ":COUNt:NUMBer").c_str(), at(m, &Measurement::count), 1, 999));
      table.push_back(flag((setup + ":TIMeout[:STATe]").c_str(), at(m, &Measurement::timeoutOn)));
      table.push_back(real((setup + ":TIMeout:TIME").c_str(), at(m, &Measurement::timeout), 0.1,
                           999.0, kSeconds));
    }
  }

  static std::vector<Entry> build() {
    std::vector<Entry> t;

    // IEEE 488.2 common commands.
    t.push_back(action("*CLS", [](TestSet &ts, Seconds) {
      ts.errors_.clear();
      ts.esr_ = 0;
      return 0;
    }));
    t.push_back(action("*RST", [](TestSet &ts, Seconds now) {
      ts.reset(now);
      return 0;
    }));
    t.push_back(query("*IDN", [](TestSet &, Seconds) {
      return answer("Zolvane,Simulated CDMA2000 Test Set,0," ZOLVANE_SIM_VERSION);
    }));
    // Every command completes before the next is parsed, so *OPC and *WAI never wait.
    t.push_back(Entry(
        "*OPC",
        [](TestSet &ts, const Params &p, Seconds) {
          if (!p.empty()) return err::kParameterNotAllowed;
          ts.esr_ |= 0x01U;
          return 0;
        },
        [](TestSet &, Seconds) { return answer("1"); }));
    t.push_back(action("*WAI", [](TestSet &, Seconds) { return 0; }));
    t.push_back(query("*ESR", [](TestSet &ts, Seconds) {
      unsigned v = ts.esr_;
      ts.esr_ = 0;
      return answer(std::to_string(v));
    }));
    t.push_back(query("*STB", [](TestSet &ts, Seconds) { return answer(std::to_string(ts.stb())); }));
    t.push_back(query("*TST", [](TestSet &, Seconds) { return answer("0"); }));
    t.push_back(query("SYSTem:ERRor[:NEXT]", [](TestSet &ts, Seconds) {
      if (ts.errors_.empty()) return answer("+0,\"No error\"");
      std::string e = std::move(ts.errors_.front());
      ts.errors_.pop_front();
      return answer(std::move(e));
    }));

    // Cell set-up.
    t.push_back(Entry(
        "CALL:OPERating:MODE",
        [](TestSet &ts, const Params &p, Seconds now) {
          if (int e = countOne(p)) return e;
          std::string mode;
          if (int e = choose(p[0], {"CALL", "CELL", "TEST", "OFF", "PBT", "PBPT", "GBTT", "CW"},
                             mode))
            return e;
          ts.s_.operMode = mode;
          if (mode != "CALL") ts.endCall(now, "operating mode " + mode);
          return 0;
        },
        [](TestSet &ts, Seconds) { return answer(ts.s_.operMode); }));
    t.push_back(Entry(
        "CALL:SYSTem[:TYPE]",
        [](TestSet &ts, const Params &p, Seconds now) {
          if (int e = countOne(p)) return e;
          std::string sys;
          if (int e = choose(p[0], {"DIG2000", "IS95"}, sys)) return e;
          if (sys != ts.s_.system) ts.endCall(now, "system changed to " + sys);
          ts.s_.system = sys;
          return 0;
        },
        [](TestSet &ts, Seconds) { return answer(ts.s_.system); }));
    t.push_back(Entry(
        "CALL:BAND",
        [](TestSet &ts, const Params &p, Seconds now) {
          if (int e = countOne(p)) return e;
          const Band *b = findBand(upper(p[0]));
          if (!b) return err::kIllegalParameterValue;
          if (ts.s_.band != b->name) {
            ts.endCall(now, std::string("band changed to ") + b->name);
            ts.s_.band = b->name;
            // Each band class numbers its channels differently.
            if (!isValidChannel(*b, ts.s_.channel)) ts.s_.channel = b->pcs ? 25 : 384;
          }
          return 0;
        },
        [](TestSet &ts, Seconds) { return answer(ts.s_.band); }));
    t.push_back(Entry(
        "CALL[:CELL]:CHANnel[:SELected]",
        [](TestSet &ts, const Params &p, Seconds now) {
          if (int e = countOne(p)) return e;
          int ch = 0;
          if (int e = integer(p[0], 0, 2047, ch)) return e;
          if (!isValidChannel(ts.currentBand(), ch)) return err::kDataOutOfRange;
          if (ch != ts.s_.channel && ts.call_ != CallState::Idle)
            ts.event(now, "traffic channel " + std::to_string(ch) + ", the phone follows");
          ts.s_.channel = ch;
          return 0;
        },
        [](TestSet &ts, Seconds) { return answer(std::to_string(ts.s_.channel)); }));
    t.push_back(oneOf("CALL:PROTocol", at(&Settings::protocol),
                      {"PREV1", "PREV2", "PREV3", "PREV4", "PREV5", "PREV6", "PREV7"}));
    t.push_back(oneOf("CALL:RCONfig", at(&Settings::radioConfig),
                      {"F1R1", "F2R2", "F3R3", "F4R3", "F5R4"}));
    t.push_back(flag("CALL[:CELL]:PILot:STATe", at(&Settings::pilotOn)));
    t.push_back(real("CALL[:CELL]:PILot[:LEVel]", at(&Settings::pilotLevel), -30.0, 0.0, kDb));
    t.push_back(flag("CALL[:CELL]:SYNC:STATe", at(&Settings::syncOn)));
    t.push_back(real("CALL[:CELL]:SYNC[:LEVel]", at(&Settings::syncLevel), -30.0, 0.0, kDb));
    t.push_back(flag("CALL[:CELL]:PAGing:STATe", at(&Settings::pagingOn)));
    t.push_back(real("CALL[:CELL]:PAGing[:LEVel]", at(&Settings::pagingLevel), -30.0, 0.0, kDb));
    t.push_back(flag("CALL[:CELL]:FCHannel:STATe", at(&Settings::fchOn)));
    t.push_back(real("CALL[:CELL]:FCHannel[:LEVel]", at(&Settings::fchLevel), -30.0, 0.0, kDb));
    t.push_back(real("CALL[:CELL]:POWer[:AMPLitude]", at(&Settings::cellPower), -140.0, -10.0,
                     kDbm));
    t.push_back(whole("CALL[:CELL]:SID", at(&Settings::sid), 0, 32767));
    t.push_back(whole("CALL[:CELL]:NID", at(&Settings::nid), 0, 65535));
    t.push_back(real("CALL:RFGenerator:FREQuency", at(&Settings::rfgFrequencyHz), 292.5e6,
                     2.7e9, kHz, true));
    t.push_back(oneOf("RFGenerator:OUTPut", at(&Settings::rfPort), {"IO", "OUT"}));
    t.push_back(flag("AFGenerator:VOLTage:STATe", at(&Settings::afgOn)));
    t.push_back(oneOf("DISPlay:MODE", at(&Settings::displayMode), {"TRACK", "FAST"}));

    // Path-loss compensation: a table of frequencies and gains.
    t.push_back(Entry(
        "SYSTem:CORRection:FREQuency",
        [](TestSet &ts, const Params &p, Seconds) {
          return numberList(p, 250e6, 2.7e9, kHz, ts.s_.correctionFreqHz);
        },
        [](TestSet &ts, Seconds) { return answer(joinList(ts.s_.correctionFreqHz, true)); }));
    t.push_back(Entry(
        "SYSTem:CORRection[:GAIN]",
        [](TestSet &ts, const Params &p, Seconds) {
          if (int e = numberList(p, -100.0, 100.0, kDb, ts.s_.correctionGainDb)) return e;
          if (ts.s_.correctionOn && ts.s_.correctionGainDb.size() != ts.s_.correctionFreqHz.size())
            return err::kSettingsConflict;
          return 0;
        },
        [](TestSet &ts, Seconds) { return answer(joinList(ts.s_.correctionGainDb, false)); }));
    t.push_back(Entry(
        "SYSTem:CORRection:STATe",
        [](TestSet &ts, const Params &p, Seconds) {
          if (int e = countOne(p)) return e;
          bool on = false;
          if (int e = boolean(p[0], on)) return e;
          // A table whose two lists differ in length cannot be applied.
          if (on && (ts.s_.correctionFreqHz.empty() ||
                     ts.s_.correctionFreqHz.size() != ts.s_.correctionGainDb.size()))
            return err::kSettingsConflict;
          ts.s_.correctionOn = on;
          return 0;
        },
        [](TestSet &ts, Seconds) { return answer(ts.s_.correctionOn ? "1" : "0"); }));

    // Call control.
    t.push_back(action("CALL:REGister", [](TestSet &ts, Seconds now) {
      ts.regRequested_ = true;
      ts.regRequestedAt_ = now;
      ts.event(now, "registration requested");
      return 0;
    }));
    t.push_back(query("CALL:MS:REPorted:ESN", [](TestSet &ts, Seconds) {
      return answer(ts.registered_ ? ts.config_.esn : "0");
    }));
    t.push_back(action("CALL:ORIGinate", [](TestSet &ts, Seconds now) {
      if (ts.call_ != CallState::Idle || !ts.cellActive()) return err::kSettingsConflict;
      ts.call_ = CallState::Connecting;
      ts.connectAt_ = now + ts.config_.connDelay;
      ts.event(now, "origination: paging the phone");
      return 0;
    }));
    t.push_back(query("CALL:CONNected[:STATe]", [](TestSet &ts, Seconds) {
      bool up = ts.call_ == CallState::Connected || ts.call_ == CallState::Releasing ||
                ts.call_ == CallState::HandingOff;
      return answer(up ? "1" : "0");
    }));
    t.push_back(action("CALL:END", [](TestSet &ts, Seconds now) {
      switch (ts.call_) {
        case CallState::Connecting: ts.endCall(now, "origination cancelled"); break;
        case CallState::Connected:
        case CallState::HandingOff:
          if (ts.config_.neverDrop) {
            ts.event(now, "release requested; the phone ignores it");
          } else {
            ts.call_ = CallState::Releasing;
            ts.handoffDoneAt_ = kNever;
            ts.releaseAt_ = now + ts.config_.dropDelay;
            ts.event(now, "release requested");
          }
          break;
        case CallState::Idle:
        case CallState::Releasing: break;
      }
      return 0;
    }));
    t.push_back(Entry(
        "CALL:CONNected:DROP:TIMer[:STATe]",
        [](TestSet &ts, const Params &p, Seconds now) {
          if (int e = countOne(p)) return e;
          bool on = false;
          if (int e = boolean(p[0], on)) return e;
          // A link already lost counts from the moment the timer is armed.
          if (on && !ts.s_.dropTimerOn && ts.linkLostSince_ != kNever) ts.linkLostSince_ = now;
          ts.s_.dropTimerOn = on;
          return 0;
        },
        [](TestSet &ts, Seconds) { return answer(ts.s_.dropTimerOn ? "1" : "0"); }));
    t.push_back(oneOf("CALL:CLPControl:REVerse[:MODE]", at(&Settings::reversePowerControl),
                      {"ACTive", "UP", "DOWN", "ALTernate"}));
    t.push_back(oneOf("CALL:SETup:SYSTem[:TYPE]", at(&Settings::setupSystem),
                      {"DIG2000", "IS95"}));
    t.push_back(Entry(
        "CALL:SETup:BAND",
        [](TestSet &ts, const Params &p, Seconds) {
          if (int e = countOne(p)) return e;
          const Band *b = findBand(upper(p[0]));
          if (!b) return err::kIllegalParameterValue;
          ts.s_.setupBand = b->name;
          return 0;
        },
        [](TestSet &ts, Seconds) { return answer(ts.s_.setupBand); }));
    t.push_back(Entry(
        "CALL:SETup:CHANnel",
        [](TestSet &ts, const Params &p, Seconds) {
          if (int e = countOne(p)) return e;
          int ch = 0;
          if (int e = integer(p[0], 0, 2047, ch)) return e;
          if (!isValidChannel(*findBand(ts.s_.setupBand), ch)) return err::kDataOutOfRange;
          ts.s_.setupChannel = ch;
          return 0;
        },
        [](TestSet &ts, Seconds) { return answer(std::to_string(ts.s_.setupChannel)); }));
    t.push_back(action("CALL:HANDoff[:IMMediate]",
                       [](TestSet &ts, Seconds now) { return ts.startHandoff(now); }));

    // Measurements.
    measurement(t, "CFER", &Settings::cfer, true);
    measurement(t, "DAP", &Settings::dap, true);
    measurement(t, "CPOWer", &Settings::cpow, true);
    measurement(t, "CAPP", &Settings::capp, false);
    measurement(t, "ATXP", &Settings::atxp, false);
    measurement(t, "FM", &Settings::fm, false);
    measurement(t, "AFAN", &Settings::afan, false);
    t.push_back(flag("SETup:CFER:CONFidence[:STATe]", at(&Settings::cferConfidenceOn)));
    t.push_back(oneOf("SETup:CFER:CONFidence:LEVel", at(&Settings::cferConfidenceLevel),
                      {"80PCT", "85PCT", "90PCT", "95PCT", "99PCT"}));
    t.push_back(real("SETup:CFER:CONFidence:REQuirement", at(&Settings::cferRequirement), 0.01,
                     100.0, kNoUnit));
    t.push_back(whole("SETup:CFER:COUNt:MAXimum", at(&Settings::cferCountMax), 1, 100000));
    t.push_back(whole("SETup:CFER:COUNt:MINimum", at(&Settings::cferCountMin), 1, 100000));
    t.push_back(oneOf("SETup:CPOWer:MSPeed", at(&Settings::cpowSpeed), {"NORMal", "FAST"}));
    t.push_back(query("FETCh:CFER:RATio", [](TestSet &ts, Seconds now) {
      return ts.fetch(ts.s_.cfer, now, [&ts] { return ts.fetchFer(); });
    }));
    t.push_back(query("FETCh:DAP[:ALL]", [](TestSet &ts, Seconds now) {
      return ts.fetch(ts.s_.dap, now, [&ts] { return ts.fetchPower(ts.s_.dap); });
    }));
    t.push_back(query("FETCh:CPOWer[:ALL]", [](TestSet &ts, Seconds now) {
      return ts.fetch(ts.s_.cpow, now, [&ts] { return ts.fetchPower(ts.s_.cpow); });
    }));
    return t;
  }
};

const std::vector<TestSet::Entry> &TestSet::table() {
  static const std::vector<Entry> t = TableBuilder::build();
  return t;
}

int TestSet::findEntry(const ParsedCommand &command) {
  const std::vector<Entry> &t = table();
  for (std::size_t i = 0; i < t.size(); ++i)
    if (t[i].header.matches(command.nodes)) return static_cast<int>(i);
  return -1;
}

std::vector<TestSet::Selector> TestSet::resolve(const std::vector<CommandSelector> &list,
                                                std::string *error) {
  std::vector<Selector> out;
  for (const CommandSelector &c : list) {
    std::vector<ParsedCommand> parsed;
    int entry = -1;
    if (parseMessage(c.header, parsed) == 0 && parsed.size() == 1 && parsed[0].params.empty())
      entry = findEntry(parsed[0]);
    bool query = !parsed.empty() && parsed[0].query;
    if (entry < 0 || (query ? !table()[entry].query : !table()[entry].set)) {
      if (error && error->empty()) *error = "no such command or query: \"" + c.header + "\"";
      continue;
    }
    out.push_back(Selector{entry, query, c.nth, 0});
  }
  return out;
}

std::string TestSet::checkConfig(const Config &config) {
  std::string error;
  resolve(config.timeoutOn, &error);
  resolve(config.slowOn, &error);
  for (const std::string &b : config.bands)
    if (!isBandName(b) && error.empty()) error = "unknown band " + b;
  return error;
}

TestSet::TestSet(Config config)
    : config_(std::move(config)),
      rng_(config_.seed),
      slow_(resolve(config_.slowOn, nullptr)),
      timeouts_(resolve(config_.timeoutOn, nullptr)) {
  hearsSince_ = phoneHearsCell() ? 0.0 : kNever;
}

bool TestSet::selected(std::vector<Selector> &list, int entry, bool query) {
  bool hit = false;
  for (Selector &s : list) {
    if (s.entry != entry || s.query != query) continue;
    ++s.seen;
    if (s.nth == 0 || s.nth == s.seen) hit = true;
  }
  return hit;
}

void TestSet::event(Seconds t, const std::string &text) {
  if (sink_) sink_(t, text);
}

void TestSet::pushError(int code, const std::string &context, Seconds now) {
  // The standard event status register's class bits: query, device, execution, command error.
  if (code <= -400 && code > -500) esr_ |= 0x04U;
  else if (code <= -300 && code > -400) esr_ |= 0x08U;
  else if (code <= -200 && code > -300) esr_ |= 0x10U;
  else if (code <= -100 && code > -200) esr_ |= 0x20U;
  std::string entry = (code >= 0 ? "+" : "") + std::to_string(code) + ",\"" + errorText(code) + "\"";
  event(now, "error " + entry + " for \"" + context + "\"");
  if (errors_.size() >= kErrorQueueSize) {
    errors_.back() = std::to_string(err::kQueueOverflow) + ",\"" + errorText(err::kQueueOverflow) + "\"";
    return;
  }
  errors_.push_back(std::move(entry));
}

bool TestSet::receive(std::string_view message, Seconds now) {
  run(now);
  if (message.size() > kMaxMessageBytes) {
    pushError(err::kTooMuchData, "message of " + std::to_string(message.size()) + " bytes", now);
    return true;
  }
  Message m;
  std::vector<ParsedCommand> commands;
  m.parseError = parseMessage(message, commands);
  for (ParsedCommand &c : commands) {
    Pending p;
    p.entry = findEntry(c);
    p.command = std::move(c);
    m.commands.push_back(std::move(p));
  }
  for (Pending &p : m.commands) {
    if (!p.command.query && p.entry >= 0 && selected(timeouts_, p.entry, false)) {
      event(now, "fault: \"" + p.command.text + "\" is not accepted");
      return false;
    }
  }
  for (Pending &p : m.commands) {
    if (!p.command.query) continue;
    m.hasQuery = true;
    if (p.entry < 0) continue;
    if (selected(timeouts_, p.entry, true)) {
      p.dropped = true;
      event(now, "fault: \"" + p.command.text + "\" is left unanswered");
    }
    if (config_.answerDelay > 0.0 && (slow_.empty() || selected(slow_, p.entry, true)))
      p.notBefore = now + config_.answerDelay;
  }
  // A new message while an answer waits unread: the answer is thrown away.
  if (!output_.empty()) {
    output_.clear();
    pushError(err::kQueryInterrupted, std::string(message), now);
  } else if (!input_.empty() && input_.front().hasQuery && !input_.front().interrupted) {
    input_.front().interrupted = true;
    pushError(err::kQueryInterrupted, std::string(message), now);
  }
  input_.push_back(std::move(m));
  run(now);
  return true;
}

bool TestSet::takeResponse(Seconds now, std::string &response, Seconds &readyAt) {
  run(now);
  if (!output_.empty()) {
    response = std::move(output_.front());
    output_.pop_front();
    return true;
  }
  readyAt = kNever;
  if (!input_.empty() && input_.front().hasQuery && !input_.front().interrupted)
    readyAt = blockedUntil_;
  return false;
}

void TestSet::advance(Seconds now) { run(now); }

unsigned TestSet::stb() const {
  return (errors_.empty() ? 0U : 0x04U) | (output_.empty() ? 0U : 0x10U);
}

unsigned TestSet::statusByte(Seconds now) {
  run(now);
  return stb();
}

void TestSet::deviceClear(Seconds now) {
  run(now);
  input_.clear();
  output_.clear();
  blockedUntil_ = kNever;
  event(now, "device clear: input and output queues emptied");
}

void TestSet::interruptAnswer(std::string_view message, Seconds now) {
  pushError(err::kQueryInterrupted, std::string(message), now);
}

bool TestSet::execute(Pending &p, Message &m, Seconds now) {
  const ParsedCommand &c = p.command;
  if (p.entry < 0) {
    pushError(err::kUndefinedHeader, c.text, now);
    return true;
  }
  const Entry &e = table()[static_cast<std::size_t>(p.entry)];
  if (c.query) {
    if (!e.query) {
      pushError(err::kUndefinedHeader, c.text, now);
      return true;
    }
    if (!c.params.empty()) {
      pushError(err::kParameterNotAllowed, c.text, now);
      return true;
    }
    if (p.dropped) return true;
    if (now < p.notBefore) {
      blockedUntil_ = p.notBefore;
      return false;
    }
    Reply r = e.query(*this, now);
    if (!r.ready) {
      blockedUntil_ = r.notBefore;
      return false;
    }
    if (!m.interrupted) {
      if (m.responseStarted) m.response += ';';
      m.response += r.text;
      m.responseStarted = true;
    }
    return true;
  }
  if (!e.set) {
    pushError(err::kUndefinedHeader, c.text, now);
    return true;
  }
  if (int code = e.set(*this, splitParams(c.params), now)) pushError(code, c.text, now);
  settle(now);
  return true;
}

void TestSet::run(Seconds now) {
  for (;;) {
    // The phone's own events first, each at its own time.
    for (int guard = 0; guard < 64; ++guard) {
      if (!stepEvents(now)) break;
    }
    if (input_.empty()) return;
    Message &m = input_.front();
    while (m.next < m.commands.size()) {
      if (!execute(m.commands[m.next], m, now)) return;
      ++m.next;
    }
    if (m.parseError) pushError(m.parseError, "message", now);
    if (m.hasQuery && m.responseStarted && !m.interrupted) output_.push_back(std::move(m.response));
    input_.pop_front();
  }
}

// ---- The model ------------------------------------------------------------------------------

const char *callStateName(CallState s) {
  switch (s) {
    case CallState::Idle: return "idle";
    case CallState::Connecting: return "connecting";
    case CallState::Connected: return "connected";
    case CallState::Releasing: return "releasing";
    case CallState::HandingOff: return "handing off";
  }
  return "?";
}

void TestSet::reset(Seconds now) {
  endCall(now, "reset");
  s_ = Settings{};
  registered_ = false;
  regRequested_ = false;
  hearsSince_ = kNever;
  output_.clear();
  event(now, "reset: defaults restored");
}

bool TestSet::bandSupported(const std::string &band) const {
  return std::find(config_.bands.begin(), config_.bands.end(), band) != config_.bands.end();
}

const Band &TestSet::currentBand() const { return *findBand(s_.band); }

double TestSet::correctionGain(double freqHz) const {
  if (!s_.correctionOn) return 0.0;
  std::size_t n = std::min(s_.correctionFreqHz.size(), s_.correctionGainDb.size());
  if (n == 0) return 0.0;
  std::vector<std::pair<double, double>> points;
  for (std::size_t i = 0; i < n; ++i) points.emplace_back(s_.correctionFreqHz[i], s_.correctionGainDb[i]);
  std::sort(points.begin(), points.end());
  if (freqHz <= points.front().first) return points.front().second;
  if (freqHz >= points.back().first) return points.back().second;
  for (std::size_t i = 1; i < points.size(); ++i) {
    if (freqHz <= points[i].first) {
      auto [f0, g0] = points[i - 1];
      auto [f1, g1] = points[i];
      return f1 == f0 ? g1 : g0 + (g1 - g0) * (freqHz - f0) / (f1 - f0);
    }
  }
  return points.back().second;
}

// The compensation raises the output by the loss the table names; the cable takes its real one.
double TestSet::powerAtPhone() const {
  double fwd = forwardMHz(currentBand(), s_.channel) * 1e6;
  return s_.cellPower - correctionGain(fwd) - config_.cableLoss;
}

double TestSet::phoneTxPower() const {
  const std::string &mode = s_.reversePowerControl;
  if (mode == "UP") return config_.maxPower;
  if (mode == "DOWN") return config_.minPower;
  // Active and alternating control leave the phone at its open-loop estimate.
  double open = openLoopConstant(currentBand()) - powerAtPhone() + config_.openLoopOffset;
  return std::clamp(open, config_.minPower, config_.maxPower);
}

double TestSet::measuredPower() const {
  double rev = reverseMHz(currentBand(), s_.channel) * 1e6;
  return phoneTxPower() - config_.cableLoss - correctionGain(rev);
}

bool TestSet::cellActive() const { return s_.operMode == "CALL"; }

bool TestSet::phoneHearsCell() const {
  return cellActive() && s_.pilotOn && s_.syncOn && s_.pagingOn && bandSupported(s_.band) &&
         powerAtPhone() >= config_.sensitivity;
}

double TestSet::fchMargin() const {
  if (!s_.fchOn) return -std::numeric_limits<double>::infinity();
  return powerAtPhone() + (s_.fchLevel - kSensitivityFchLevel) - config_.sensitivity;
}

bool TestSet::linkOk() const {
  return cellActive() && s_.pilotOn && bandSupported(s_.band) && fchMargin() >= kCallHoldMargin;
}

void TestSet::endCall(Seconds now, const std::string &why) {
  if (call_ != CallState::Idle) event(now, "call ended: " + why);
  call_ = CallState::Idle;
  connectAt_ = releaseAt_ = handoffDoneAt_ = kNever;
  linkLostSince_ = signalSince_ = kNever;
}

void TestSet::settle(Seconds now) {
  bool hears = phoneHearsCell();
  if (hears && hearsSince_ == kNever) hearsSince_ = now;
  if (!hears) {
    hearsSince_ = kNever;
    if (call_ == CallState::Idle && registered_) {
      registered_ = false;
      event(now, "the phone lost the cell; registration cleared");
    }
  }
  bool inCall = call_ == CallState::Connected || call_ == CallState::Releasing;
  if (inCall && !linkOk()) {
    if (linkLostSince_ == kNever) {
      linkLostSince_ = now;
      event(now, "traffic link lost");
    }
  } else {
    linkLostSince_ = kNever;
  }
}

bool TestSet::stepEvents(Seconds now) {
  Seconds reg = kNever;
  if (regRequested_ && !config_.neverRegister && hearsSince_ != kNever)
    reg = std::max(regRequestedAt_, hearsSince_) + config_.regDelay;
  Seconds conn = call_ == CallState::Connecting ? connectAt_ : kNever;
  Seconds rel = call_ == CallState::Releasing ? releaseAt_ : kNever;
  Seconds hand = call_ == CallState::HandingOff ? handoffDoneAt_ : kNever;
  Seconds drop = (s_.dropTimerOn && linkLostSince_ != kNever) ? linkLostSince_ + config_.dropTime
                                                              : kNever;
  Seconds t = std::min({reg, conn, rel, hand, drop});
  if (t > now) return false;
  if (t == reg) {
    registered_ = true;
    regRequested_ = false;
    event(t, "phone registered, ESN " + config_.esn);
  } else if (t == conn) {
    if (!registered_) {
      endCall(t, "origination failed: the phone is not registered");
    } else if (config_.neverConnect) {
      endCall(t, "origination failed: the phone does not answer");
    } else if (!linkOk()) {
      endCall(t, "origination failed: no traffic channel reaches the phone");
    } else {
      call_ = CallState::Connected;
      signalSince_ = t;
      event(t, "call connected");
    }
  } else if (t == rel) {
    endCall(t, "released");
  } else if (t == hand) {
    if (bandSupported(s_.band)) {
      call_ = CallState::Connected;
      signalSince_ = t;
      handoffDoneAt_ = kNever;
      event(t, "handoff complete: " + s_.band + " channel " + std::to_string(s_.channel));
    } else {
      endCall(t, "the phone does not support band " + s_.band);
    }
  } else {
    endCall(t, "link lost for " + formatFixed(config_.dropTime, 2) + " s (drop timer)");
  }
  settle(t);
  return true;
}

int TestSet::startHandoff(Seconds now) {
  const Band *b = findBand(s_.setupBand);
  if (!isValidChannel(*b, s_.setupChannel)) return err::kSettingsConflict;
  bool sameBand = s_.setupBand == s_.band;
  s_.system = s_.setupSystem;
  s_.band = s_.setupBand;
  s_.channel = s_.setupChannel;
  std::string where = s_.band + " channel " + std::to_string(s_.channel);
  if (call_ == CallState::Connected || call_ == CallState::HandingOff) {
    if (sameBand) {
      event(now, "handoff to " + where + ", the phone follows");
    } else {
      call_ = CallState::HandingOff;
      handoffDoneAt_ = now + config_.handoffDelay;
      signalSince_ = kNever;
      linkLostSince_ = kNever;
      event(now, "handoff to " + where + " started");
    }
  } else {
    event(now, "cell moved to " + where + " (no call)");
  }
  return 0;
}

double TestSet::gaussian() {
  // Box-Muller on the engine's own bits, so a seed gives the same readings on every library.
  auto uniform = [this] { return (static_cast<double>(rng_() >> 11) + 0.5) * 0x1.0p-53; };
  double u1 = uniform(), u2 = uniform();
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * 3.14159265358979323846 * u2);
}

TestSet::Reply TestSet::fetch(Measurement &m, Seconds now,
                              const std::function<std::string()> &compute) {
  if (!m.running || !signalUp()) return answer("NAN");
  Seconds ready = std::max(m.startedAt, signalSince_) + config_.measDelay;
  if (now < ready) return Reply{false, {}, ready};
  if (!m.continuous && m.haveResult) return answer(m.result);
  std::string r = compute();
  if (!m.continuous) {
    m.haveResult = true;
    m.result = r;
  }
  return answer(std::move(r));
}

std::string TestSet::fetchFer() {
  double margin = fchMargin();
  double p = std::isinf(margin) ? 1.0 : std::min(1.0, kFerAtSensitivity * std::pow(10.0, -margin));
  int frames = s_.cferCountMax;
  int errors = 0;
  for (int i = 0; i < frames; ++i)
    if ((static_cast<double>(rng_() >> 11) * 0x1.0p-53) < p) ++errors;
  return formatScientific(static_cast<double>(errors) / frames);
}

std::string TestSet::fetchPower(const Measurement &m) {
  double sigma = config_.noise;
  if (m.countOn && m.count > 1) sigma /= std::sqrt(static_cast<double>(m.count));
  double value = measuredPower() + sigma * gaussian();
  return "0," + formatScientific(value);
}

}  // namespace zolvane_sim
