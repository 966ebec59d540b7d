#include "options.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <string_view>
#include <vector>

namespace phone_test {
namespace {

bool toInt(std::string_view s, int lo, int hi, int &out) {
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return false;
  out = v;
  return true;
}

// A decimal number with a point, whatever the locale; a leading '+' is allowed.
bool toReal(std::string_view s, double &out) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !((s.front() >= '0' && s.front() <= '9') || s.front() == '.')) return false;
  double v = 0.0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return false;
  out = negative ? -v : v;
  return true;
}

struct OptionRule {
  const char *name;
  bool takesValue;
  std::function<bool(Options &, std::string_view)> apply;
  const char *expects;  // for the error message
};

std::function<bool(Options &, std::string_view)> integer(int Options::*f, int lo, int hi) {
  return [f, lo, hi](Options &o, std::string_view v) { return toInt(v, lo, hi, o.*f); };
}
std::function<bool(Options &, std::string_view)> real(double Options::*f) {
  return [f](Options &o, std::string_view v) { return toReal(v, o.*f); };
}
std::function<bool(Options &, std::string_view)> optionalReal(std::optional<double> Options::*f) {
  return [f](Options &o, std::string_view v) {
    double d = 0.0;
    if (!toReal(v, d)) return false;
    o.*f = d;
    return true;
  };
}

const std::vector<OptionRule> &optionRules() {
  static const std::vector<OptionRule> s{
      {"--gpib", true, integer(&Options::gpib, 0, 30), "a GPIB address 0..30"},
      {"--band", true, integer(&Options::band, 0, 3), "a band index 0..3"},
      {"--channel", true, integer(&Options::channel, 0, 2047), "a channel number 0..2047"},
      {"--handoff-band", true, integer(&Options::handoffBand, 0, 3), "a band index 0..3"},
      {"--handoff-channel", true, integer(&Options::handoffChannel, 0, 2047),
       "a channel number 0..2047"},
      {"--loss", true, real(&Options::loss), "a path loss in dB"},
      {"--cell-power", true, real(&Options::cellPower), "a power in dBm"},
      {"--sid", true, integer(&Options::sid, 0, 32767), "a SID 0..32767"},
      {"--nid", true, integer(&Options::nid, 0, 65535), "a NID 0..65535"},
      {"--reg-timeout", true, integer(&Options::regTimeout, 0, 3600), "seconds 0..3600"},
      {"--connect-timeout", true, integer(&Options::connectTimeout, 0, 3600), "seconds 0..3600"},
      {"--dap-count", true, integer(&Options::dapCount, 1, 999), "a count 1..999"},
      {"--fer-max", true, real(&Options::ferMax), "a frame error rate in percent"},
      {"--max-power-min", true, real(&Options::maxPowerMin), "a power in dBm"},
      {"--max-power-max", true, real(&Options::maxPowerMax), "a power in dBm"},
      {"--min-power-max", true, real(&Options::minPowerMax), "a power in dBm"},
      {"--rolop-tolerance", true, real(&Options::rolopTolerance), "a tolerance in dB"},
      {"--rolop-min", true, optionalReal(&Options::rolopMin), "a power in dBm"},
      {"--rolop-max", true, optionalReal(&Options::rolopMax), "a power in dBm"},
      {"--sim-options", true,
       [](Options &o, std::string_view v) {
         o.simOptions = std::string(v);
         return true;
       },
       "key=value;... settings"},
      {"--real-visa", false, [](Options &o, std::string_view) {
         o.realVisa = true;
         return true;
       }, ""},
      {"--help", false, [](Options &o, std::string_view) {
         o.help = true;
         return true;
       }, ""},
  };
  return s;
}

}  // namespace

const char *usage() {
  return "Usage: zolvane_phone_test [options]\n"
         "Runs a production-style CDMA2000 phone test through the Zolvane library and prints a\n"
         "report. Runs on the simulated test set unless --real-visa is given.\n"
         "\n"
         "  --gpib N               GPIB primary address of the test set (14)\n"
         "  --band N               band: 0 USC, 1 USPC, 2 SEC800, 3 USPC1900 (0)\n"
         "  --channel N            traffic channel (384)\n"
         "  --handoff-band N       band to hand the call off to (1)\n"
         "  --handoff-channel N    channel to hand the call off to (25)\n"
         "  --loss DB              path loss between the test set and the phone (0.5)\n"
         "  --cell-power DBM       cell power (-65)\n"
         "  --sid N, --nid N       network identity (1, 1)\n"
         "  --reg-timeout S        registration time-out (10)\n"
         "  --connect-timeout S    connection time-out (5)\n"
         "  --dap-count N          measurement count for maximum power (10)\n"
         "  --fer-max PCT          frame error rate limit in percent (0.5)\n"
         "  --max-power-min DBM    lower limit of maximum power (23)\n"
         "  --max-power-max DBM    upper limit of maximum power (30)\n"
         "  --min-power-max DBM    upper limit of minimum power (-50)\n"
         "  --rolop-tolerance DB   Rolop limits: the open-loop power for the cell power and band,\n"
         "                         plus or minus this (9.5)\n"
         "  --rolop-min DBM, --rolop-max DBM   fixed Rolop limits instead\n"
         "  --trace[=FILE]         the simulator's SCPI trace to FILE (standard error)\n"
         "  --sim-options TEXT     simulator settings, \"key=value;...\" (its README lists them)\n"
         "  --real-visa            the machine's VISA and a real test set, not the simulator\n"
         "  --help                 this text\n"
         "\n"
         "Exit status: 0 when every step passed, 1 when one did not, 2 for a bad command line or\n"
         "a simulator that cannot be found.\n";
}

bool parseOptions(int argc, char **argv, Options &out, std::string &error) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h") arg = "--help";
    std::string_view name = arg, value;
    bool inlineValue = false;
    if (std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inlineValue = true;
    }
    if (name == "--trace") {
      o.trace = true;
      if (inlineValue) {
        if (value.empty()) {
          error = "--trace= needs a file name";
          return false;
        }
        o.traceFile = std::string(value);
      }
      continue;
    }
    const OptionRule *rule = nullptr;
    for (const OptionRule &s : optionRules())
      if (name == s.name) rule = &s;
    if (!rule) {
      error = "unknown option " + std::string(arg);
      return false;
    }
    if (rule->takesValue && !inlineValue) {
      if (i + 1 >= argc) {
        error = std::string(rule->name) + " needs " + rule->expects;
        return false;
      }
      value = argv[++i];
    } else if (!rule->takesValue && inlineValue) {
      error = std::string(rule->name) + " takes no value";
      return false;
    }
    if (!rule->apply(o, value)) {
      error = std::string(rule->name) + " needs " + rule->expects + ", not \"" +
              std::string(value) + "\"";
      return false;
    }
  }
  if (o.maxPowerMin > o.maxPowerMax) {
    error = "--max-power-min is above --max-power-max";
    return false;
  }
  if (o.rolopMin.has_value() != o.rolopMax.has_value()) {
    error = "--rolop-min and --rolop-max go together";
    return false;
  }
  if (o.rolopMin && *o.rolopMin > *o.rolopMax) {
    error = "--rolop-min is above --rolop-max";
    return false;
  }
  if (o.rolopTolerance < 0.0 || o.ferMax < 0.0) {
    error = "limits and tolerances cannot be negative";
    return false;
  }
  if (o.realVisa && (o.trace || !o.simOptions.empty())) {
    error = "--trace and --sim-options need the simulator; leave out --real-visa";
    return false;
  }
  out = o;
  return true;
}

}  // namespace phone_test
