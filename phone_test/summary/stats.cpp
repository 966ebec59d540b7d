#include "stats.h"

#include <algorithm>
#include <cmath>

namespace phone_test::summary {

void RunningStats::add(double x) {
  ++n_;
  if (n_ == 1) {
    min_ = max_ = x;
  } else {
    min_ = std::min(min_, x);
    max_ = std::max(max_, x);
  }
  const double delta = x - mean_;
  mean_ += delta / static_cast<double>(n_);
  m2_ += delta * (x - mean_);
}

std::optional<double> RunningStats::stddev() const {
  if (n_ < 2) return std::nullopt;
  return std::sqrt(m2_ / static_cast<double>(n_ - 1));
}

std::optional<double> cpk(const RunningStats &s, std::optional<double> low,
                          std::optional<double> high) {
  const std::optional<double> sd = s.stddev();
  if (!sd || !(*sd > 0.0) || (!low && !high)) return std::nullopt;
  const double spread = 3.0 * *sd;
  std::optional<double> index;
  if (high) index = (*high - s.mean()) / spread;
  if (low) {
    const double cpl = (s.mean() - *low) / spread;
    index = index ? std::min(*index, cpl) : cpl;
  }
  return index;
}

}  // namespace phone_test::summary
