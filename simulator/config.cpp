#include "config.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include "radio.h"
#include "scpi.h"

namespace zolvane_sim {
namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool toDouble(std::string_view text, double &out) {
  return parseDecimal(trim(text), out) && std::isfinite(out);
}

bool toSeconds(std::string_view text, double &out) { return toDouble(text, out) && out >= 0.0; }

bool toBool(std::string_view text, bool &out) {
  std::string v = upper(trim(text));
  if (v == "1" || v == "ON" || v == "YES" || v == "TRUE") { out = true; return true; }
  if (v == "0" || v == "OFF" || v == "NO" || v == "FALSE") { out = false; return true; }
  return false;
}

std::vector<std::string> splitList(std::string_view text) {
  std::vector<std::string> items;
  while (!text.empty()) {
    std::size_t comma = text.find(',');
    std::string_view item = trim(text.substr(0, comma));
    if (!item.empty()) items.emplace_back(item);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return items;
}

bool toSelectors(std::string_view text, std::vector<CommandSelector> &out) {
  std::vector<CommandSelector> parsed;
  for (const std::string &item : splitList(text)) {
    CommandSelector s;
    std::size_t hash = item.find('#');
    s.header = item.substr(0, hash);
    if (hash != std::string::npos) {
      std::string_view n = std::string_view(item).substr(hash + 1);
      auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), s.nth);
      if (ec != std::errc() || end != n.data() + n.size() || s.nth == 0) return false;
    }
    if (s.header.empty()) return false;
    parsed.push_back(std::move(s));
  }
  out = std::move(parsed);
  return true;
}

using Setter = std::function<bool(Config &, std::string_view)>;

struct Key {
  const char *name;
  Setter set;
};

Setter real(double Config::*field) {
  return [field](Config &c, std::string_view v) { return toDouble(v, c.*field); };
}
Setter seconds(double Config::*field) {
  return [field](Config &c, std::string_view v) { return toSeconds(v, c.*field); };
}
Setter flag(bool Config::*field) {
  return [field](Config &c, std::string_view v) { return toBool(v, c.*field); };
}
Setter selectors(std::vector<CommandSelector> Config::*field) {
  return [field](Config &c, std::string_view v) { return toSelectors(v, c.*field); };
}

const std::vector<Key> &keys() {
  static const std::vector<Key> table{
      {"esn",
       [](Config &c, std::string_view v) {
         v = trim(v);
         if (v.empty() || v.find_first_of(" \t,;") != std::string_view::npos) return false;
         c.esn = std::string(v);
         return true;
       }},
      {"max_power", real(&Config::maxPower)},
      {"min_power", real(&Config::minPower)},
      {"sensitivity", real(&Config::sensitivity)},
      {"open_loop_offset", real(&Config::openLoopOffset)},
      {"bands",
       [](Config &c, std::string_view v) {
         std::vector<std::string> list = splitList(v);
         for (std::string &b : list) {
           b = upper(b);
           if (!isBandName(b)) return false;
         }
         c.bands = std::move(list);
         return true;
       }},
      {"reg_delay", seconds(&Config::regDelay)},
      {"conn_delay", seconds(&Config::connDelay)},
      {"drop_delay", seconds(&Config::dropDelay)},
      {"handoff_delay", seconds(&Config::handoffDelay)},
      {"drop_time", seconds(&Config::dropTime)},
      {"never_register", flag(&Config::neverRegister)},
      {"never_connect", flag(&Config::neverConnect)},
      {"never_drop", flag(&Config::neverDrop)},
      {"cable_loss", real(&Config::cableLoss)},
      {"address",
       [](Config &c, std::string_view v) {
         v = trim(v);
         int a = 0;
         auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), a);
         if (ec != std::errc() || end != v.data() + v.size() || a < 0 || a > 30) return false;
         c.address = a;
         return true;
       }},
      {"seed",
       [](Config &c, std::string_view v) {
         v = trim(v);
         auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), c.seed);
         return ec == std::errc() && end == v.data() + v.size();
       }},
      {"noise",
       [](Config &c, std::string_view v) { return toDouble(v, c.noise) && c.noise >= 0.0; }},
      {"meas_delay", seconds(&Config::measDelay)},
      {"answer_delay", seconds(&Config::answerDelay)},
      {"slow_on", selectors(&Config::slowOn)},
      {"timeout_on", selectors(&Config::timeoutOn)},
      {"timeout_wait", seconds(&Config::timeoutWait)},
      {"trace", [](Config &c, std::string_view v) { c.trace = std::string(trim(v)); return true; }},
      {"replay", [](Config &c, std::string_view v) { c.replay = std::string(trim(v)); return true; }},
      {"replay_speed",
       [](Config &c, std::string_view v) { return toDouble(v, c.replaySpeed) && c.replaySpeed >= 0.0; }},
      {"profile", [](Config &c, std::string_view v) { c.profile = std::string(trim(v)); return true; }},
  };
  return table;
}

}  // namespace

bool forEachItem(std::string_view text, const std::function<bool(std::string_view item)> &each) {
  while (!text.empty()) {
    std::size_t end = text.find_first_of(";\n");
    std::string_view item = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    for (std::size_t i = 0; i < item.size(); ++i) {
      if (item[i] == '#' && (i == 0 || item[i - 1] == ' ' || item[i - 1] == '\t')) {
        item = item.substr(0, i);
        break;
      }
    }
    item = trim(item);
    if (!item.empty() && !each(item)) return false;
  }
  return true;
}

bool applyOptions(Config &config, std::string_view text, std::string &error) {
  Config work = config;
  const bool ok = forEachItem(text, [&](std::string_view item) {
    std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      // Appended piece by piece: "literal" + std::string trips GCC 12's -Wrestrict in release builds.
      error.assign(1, '"').append(item).append("\" is not key=value");
      return false;
    }
    std::string key(trim(item.substr(0, eq)));
    std::string_view value = item.substr(eq + 1);
    const Key *found = nullptr;
    for (const Key &k : keys())
      if (key == k.name) found = &k;
    if (!found) {
      error = "unknown key \"" + key + "\"";
      return false;
    }
    if (!found->set(work, value)) {
      error = "bad value for " + key + ": \"" + std::string(trim(value)) + "\"";
      return false;
    }
    return true;
  });
  if (!ok) return false;
  config = std::move(work);
  return true;
}

bool loadFromEnvironment(Config &config, std::string &error) {
  if (const char *file = std::getenv("ZOLVANE_SIM"); file && *file) {
    std::ifstream in(file);
    if (!in) {
      error = std::string("cannot read ZOLVANE_SIM file ") + file;
      return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    if (!applyOptions(config, text.str(), error)) {
      error = std::string(file) + ": " + error;
      return false;
    }
  }
  if (const char *options = std::getenv("ZOLVANE_SIM_OPTIONS"); options && *options) {
    if (!applyOptions(config, options, error)) {
      error = "ZOLVANE_SIM_OPTIONS: " + error;
      return false;
    }
  }
  if (const char *trace = std::getenv("ZOLVANE_SIM_TRACE"); trace && *trace) config.trace = trace;
  return true;
}

}  // namespace zolvane_sim
