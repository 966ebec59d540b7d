#include "profile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zolvane_sim {
namespace {

std::string upper(std::string s) {
  for (char &c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool startsWith(const std::string &s, const char *p) { return s.rfind(p, 0) == 0; }

bool isErrorQuery(const std::string &u) {
  return u == "SYST:ERR?" || u == "SYSTEM:ERROR?" || u == "SYST:ERR:NEXT?" || u == "SYSTEM:ERROR:NEXT?";
}

}  // namespace

std::unique_ptr<LearnedProfile> LearnedProfile::load(const std::string &path, unsigned long long seed,
                                                     std::string &error) {
  auto p = std::make_unique<LearnedProfile>();
  if (!zolvane::trace::readProfile(path, p->profile_, error)) return nullptr;
  p->rng_.seed(seed);
  return p;
}

// A normal draw held between what was seen; a fixed value when only one was.
double LearnedProfile::draw(const zolvane::trace::Stats &s) {
  double u1 = (static_cast<double>(rng_() >> 11) + 0.5) * 0x1.0p-53;
  double u2 = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
  double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
  return std::clamp(s.mean + s.std * z, s.min, s.max);
}

const std::string *LearnedProfile::pick(const zolvane::trace::Answers &a) {
  unsigned long long total = 0;
  for (unsigned long c : a.counts) total += c;
  if (total == 0) return nullptr;
  unsigned long long n = rng_() % total;
  for (std::size_t i = 0; i < a.values.size(); ++i) {
    if (n < a.counts[i]) return &a.values[i];
    n -= a.counts[i];
  }
  return nullptr;
}

void LearnedProfile::beforeCommand(const std::string &message, Config &delays) {
  if (message.find('?') != std::string::npos) return;
  lastCommand_ = message;
  const std::string u = upper(message);
  if (u == "CALL:REG" && profile_.registration.count) delays.regDelay = std::max(0.0, draw(profile_.registration));
  else if (u == "CALL:ORIG" && profile_.connection.count) delays.connDelay = std::max(0.0, draw(profile_.connection));
  else if (startsWith(u, "INIT:") && u.find(":OFF") == std::string::npos && profile_.measurement.count)
    delays.measDelay = std::max(0.0, draw(profile_.measurement));
}

void LearnedProfile::answer(const std::string &query, const Settings &state, std::string &response) {
  if (isErrorQuery(upper(query))) {
    if (const auto *a = profile_.errorsAfter(lastCommand_))
      if (const std::string *v = pick(*a)) response = *v;
    return;
  }
  // No reading while the model has none (a measurement off, no call): that is the state's.
  if (response.find("NAN") != std::string::npos || response.find("nan") != std::string::npos) return;
  const zolvane::trace::Reading *r =
      profile_.reading(query, state.band, state.channel, state.reversePowerControl);
  if (!r) return;
  std::string out;
  for (std::size_t f = 0; f < r->fields.size(); ++f) {
    char text[64];
    int n = std::snprintf(text, sizeof text, r->formats[f].c_str(), draw(r->fields[f]));
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof text) return;  // checked formats fit; never half an answer
    if (f) out += ',';
    out.append(text, static_cast<std::size_t>(n));
  }
  response = std::move(out);
}

}  // namespace zolvane_sim
