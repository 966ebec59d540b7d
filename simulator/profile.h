// The simulator on a learned profile (zolvane_trace learn): the model runs as it does without
// one, but its readings, its error-queue answers and the phone's and measurements' delays are
// drawn from what the profile learned, from a generator seeded with the `seed` setting. A query
// or command the profile never saw is answered by the model alone.
#pragma once

#include <memory>
#include <random>
#include <string>

#include "trace_profile.h"
#include "test_set.h"

namespace zolvane_sim {

class LearnedProfile {
 public:
  static std::unique_ptr<LearnedProfile> load(const std::string &path, unsigned long long seed,
                                              std::string &error);

  // Before the model takes a command: the delays it will wait are drawn afresh.
  void beforeCommand(const std::string &message, Config &delays);
  // The model's answer to `query`, replaced by a draw where the profile knows the query (a
  // reading on the current band and channel) or the command before an error query.
  void answer(const std::string &query, const Settings &state, std::string &response);

 private:
  double draw(const zolvane::trace::Stats &s);
  const std::string *pick(const zolvane::trace::Answers &a);

  zolvane::trace::Profile profile_;
  std::mt19937_64 rng_;
  std::string lastCommand_;
};

}  // namespace zolvane_sim
