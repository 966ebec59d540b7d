#include "plan_file.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <sstream>
#include <tuple>

#include <toml++/toml.h>

namespace phone_test {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr const char *kCell = "Cell and call";
constexpr const char *kTestSet = "Test set";
constexpr const char *kLimits = "Limits";

const PlanField *findField(std::string_view key) {
  for (const PlanField &f : planFields())
    if (key == f.key) return &f;
  return nullptr;
}

// The channel numbers of each band, by the CDMA2000 band-class numbering: the 800 MHz cellular
// bands (band class 0) 1..799 and 991..1023, with the extension 1024..1323; the 1900 MHz PCS
// bands (band class 1) 0..1199. The library's carrier rules and the test set take the same.
struct BandChannels {
  const char *name;
  int ranges[2][2];
  const char *text;
};
constexpr BandChannels kBandChannels[] = {
    {"USC", {{1, 799}, {991, 1323}}, "1..799 or 991..1323"},
    {"USPC", {{0, 1199}, {0, 1199}}, "0..1199"},
    {"SEC800", {{1, 799}, {991, 1323}}, "1..799 or 991..1323"},
    {"USPC1900", {{0, 1199}, {0, 1199}}, "0..1199"},
};

// Empty when `channel` is one of `band`'s, else why not.
std::string channelProblem(int band, int channel) {
  if (band < 0 || band >= static_cast<int>(std::size(kBandChannels))) return "no such band";
  const BandChannels &b = kBandChannels[band];
  for (const auto &r : b.ranges)
    if (channel >= r[0] && channel <= r[1]) return "";
  return std::to_string(channel) + " is not a channel of band " + std::to_string(band) + " " +
         b.name + ", needs " + b.text;
}

// Shortest text that reads back as the same number, with a point whatever the locale.
std::string numberText(double v) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

std::string located(const std::string &path, const toml::source_region &where,
                    const std::string &key) {
  return path + ":" + std::to_string(where.begin.line) + ": " + key;
}

}  // namespace

const std::vector<PlanField> &planFields() {
  static const std::vector<PlanField> s{
      {"--gpib", "test_set.gpib", &Plan::gpib, 0, 30, "a GPIB address 0..30",
       "GPIB primary address of the test set", kTestSet},
      {"--band", "cell.band", &Plan::band, 0, 3, "a band index 0..3",
       "band: 0 USC, 1 USPC, 2 SEC800, 3 USPC1900", kCell},
      {"--channel", "cell.channel", &Plan::channel, 0, 2047, "a channel number 0..2047",
       "traffic channel", kCell},
      {"--handoff-band", "handoff.band", &Plan::handoffBand, 0, 3, "a band index 0..3",
       "band to hand the call off to", kCell},
      {"--handoff-channel", "handoff.channel", &Plan::handoffChannel, 0, 2047,
       "a channel number 0..2047", "channel to hand the call off to", kCell},
      {"--loss", "cell.loss", &Plan::loss, -100, 100, "a path loss in dB, -100..100",
       "path loss between the test set and the phone, dB", kCell},
      {"--cell-power", "cell.power", &Plan::cellPower, -140, -10, "a power in dBm, -140..-10",
       "cell power, dBm", kCell},
      {"--sid", "cell.sid", &Plan::sid, 0, 32767, "a SID 0..32767", "network SID", kCell},
      {"--nid", "cell.nid", &Plan::nid, 0, 65535, "a NID 0..65535", "network NID", kCell},
      {"--reg-timeout", "timeouts.registration", &Plan::regTimeout, 0, 3600, "seconds 0..3600",
       "registration time-out, s", kCell},
      {"--connect-timeout", "timeouts.connection", &Plan::connectTimeout, 0, 3600,
       "seconds 0..3600", "connection time-out, s", kCell},
      {"--dap-count", "measure.dap_count", &Plan::dapCount, 1, 999, "a count 1..999",
       "measurement count for maximum power", kCell},
      {"--fer-max", "limits.fer_max", &Plan::ferMax, 0, kInf,
       "a frame error rate in percent, 0 or more", "frame error rate limit, %", kLimits},
      {"--max-power-min", "limits.max_power_min", &Plan::maxPowerMin, -kInf, kInf,
       "a power in dBm", "lower limit of maximum power, dBm", kLimits},
      {"--max-power-max", "limits.max_power_max", &Plan::maxPowerMax, -kInf, kInf,
       "a power in dBm", "upper limit of maximum power, dBm", kLimits},
      {"--min-power-max", "limits.min_power_max", &Plan::minPowerMax, -kInf, kInf,
       "a power in dBm", "upper limit of minimum power, dBm", kLimits},
      {"--rolop-tolerance", "limits.rolop_tolerance", &Plan::rolopTolerance, 0, kInf,
       "a tolerance in dB, 0 or more",
       "Rolop limits: the open-loop power for the cell power and band, plus or minus this, dB",
       kLimits},
      {"--rolop-min", "limits.rolop_min", &Plan::rolopMin, -kInf, kInf, "a power in dBm",
       "fixed lower Rolop limit instead (with --rolop-max), dBm", kLimits},
      {"--rolop-max", "limits.rolop_max", &Plan::rolopMax, -kInf, kInf, "a power in dBm",
       "fixed upper Rolop limit instead (with --rolop-min), dBm", kLimits},
  };
  return s;
}

bool parseInt(std::string_view s, int low, int high, int &out) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  int v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size() || v < low || v > high)
    return false;
  out = v;
  return true;
}

bool parseReal(std::string_view s, double low, double high, double &out) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !((s.front() >= '0' && s.front() <= '9') || s.front() == '.')) return false;
  double v = 0.0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return false;
  v = negative ? -v : v;
  if (v < low || v > high) return false;
  out = v;
  return true;
}

bool readPlanFile(const std::string &path, Plan &plan, Origins &origins, std::string &error) {
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error &e) {
    const auto &where = e.source().begin;
    std::string what(e.description());
    if (where.line == 0) {  // the file itself could not be read
      error = "cannot read plan file " + path + ": " + what;
    } else {
      error = path + ":" + std::to_string(where.line) + ": " + what;
    }
    return false;
  }
  Plan p = plan;
  Origins o = origins;
  for (auto &&[tableKey, node] : root) {
    std::string name(tableKey.str());
    if (name == "name") {
      const auto *text = node.as_string();
      if (!text || text->get().empty()) {
        error = located(path, node.source(), name) + ": needs a plan name in quotes";
        return false;
      }
      p.name = text->get();
      o[name] = located(path, node.source(), name);
      continue;
    }
    const toml::table *table = node.as_table();
    if (!table) {
      error = located(path, node.source(), name) + ": unknown key";
      return false;
    }
    for (auto &&[key, value] : *table) {
      std::string full = name + "." + std::string(key.str());
      std::string where = located(path, value.source(), full);
      const PlanField *f = findField(full);
      if (!f) {
        error = where + ": unknown key";
        return false;
      }
      bool ok = std::visit(
          [&](auto member) {
            using T = std::decay_t<decltype(p.*member)>;
            if constexpr (std::is_same_v<T, int>) {
              const auto *i = value.as_integer();
              if (!i) {
                error = where + ": needs a whole number";
                return false;
              }
              double v = static_cast<double>(i->get());
              if (v < f->low || v > f->high) {
                error = where + ": " + std::to_string(i->get()) + " is out of range, needs " +
                        f->expects;
                return false;
              }
              p.*member = static_cast<int>(i->get());
            } else {
              std::optional<double> d = value.value<double>();  // an integer is a number too
              if (!d || value.is_boolean() || value.is_string()) {
                error = where + ": needs a number";
                return false;
              }
              if (!std::isfinite(*d) || *d < f->low || *d > f->high) {
                error = where + ": " + numberText(*d) + " is out of range, needs " + f->expects;
                return false;
              }
              p.*member = *d;
            }
            return true;
          },
          f->member);
      if (!ok) return false;
      o[f->key] = where;
    }
  }
  plan = p;
  origins = o;
  return true;
}

bool checkPlan(const Plan &p, const Origins &origins, std::string &error) {
  // "file:line: limits.max_power_min" or "--max-power-min" for the first, the bare name of the
  // second; a value left at the built-in plan by its option name.
  auto first = [&](const char *key) {
    auto it = origins.find(key);
    if (it != origins.end()) return it->second;
    return std::string(findField(key)->option);
  };
  auto second = [&](const char *key) {
    auto it = origins.find(key);
    if (it != origins.end() && it->second.rfind("--", 0) != 0) return std::string(key);
    return std::string(findField(key)->option);
  };
  // Bands are checked by the field table (0..3); a channel must be one of its band's.
  for (auto [band, channel, key] : {std::tuple{p.band, p.channel, "cell.channel"},
                                    std::tuple{p.handoffBand, p.handoffChannel,
                                               "handoff.channel"}}) {
    if (std::string why = channelProblem(band, channel); !why.empty()) {
      error = first(key) + ": " + why;
      return false;
    }
  }
  if (p.maxPowerMin > p.maxPowerMax) {
    error = first("limits.max_power_min") + " is above " + second("limits.max_power_max");
    return false;
  }
  if (p.rolopMin.has_value() != p.rolopMax.has_value()) {
    const char *given = p.rolopMin ? "limits.rolop_min" : "limits.rolop_max";
    const char *missing = p.rolopMin ? "limits.rolop_max" : "limits.rolop_min";
    error = first(given) + " and " + second(missing) + " go together";
    return false;
  }
  if (p.rolopMin && *p.rolopMin > *p.rolopMax) {
    error = first("limits.rolop_min") + " is above " + second("limits.rolop_max");
    return false;
  }
  return true;
}

std::string planToml(const Plan &plan) {
  toml::table root;
  root.insert("name", plan.name);
  for (const PlanField &f : planFields()) {
    std::string_view key = f.key;
    std::size_t dot = key.find('.');
    std::string table(key.substr(0, dot)), leaf(key.substr(dot + 1));
    if (!root.contains(table)) root.insert(table, toml::table{});
    toml::table &t = *root[table].as_table();
    std::visit(
        [&](auto member) {
          using T = std::decay_t<decltype(plan.*member)>;
          if constexpr (std::is_same_v<T, int>) {
            t.insert(leaf, static_cast<int64_t>(plan.*member));
          } else if constexpr (std::is_same_v<T, double>) {
            t.insert(leaf, plan.*member);
          } else if (plan.*member) {
            t.insert(leaf, *(plan.*member));
          }
        },
        f.member);
  }
  std::ostringstream s;
  s.imbue(std::locale::classic());
  s << root << "\n";
  return s.str();
}

std::string planHash(std::string_view toml) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : toml) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "fnv1a64:%016" PRIx64, h);
  return buf;
}

}  // namespace phone_test
