#include "stats.h"

#include <algorithm>
#include <cmath>

#include "results.h"

namespace zolvane::analysis {

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

std::optional<double> cpk(double mean, std::optional<double> stddev, std::optional<double> low,
                          std::optional<double> high) {
  if (!stddev || !(*stddev > 0.0) || (!low && !high)) return std::nullopt;
  const double spread = 3.0 * *stddev;
  std::optional<double> index;
  if (high) index = (*high - mean) / spread;
  if (low) {
    const double cpl = (mean - *low) / spread;
    index = index ? std::min(*index, cpl) : cpl;
  }
  if (index && !std::isfinite(*index)) return std::nullopt;
  return index;
}

std::optional<double> cpkOf(const StepStats &s) {
  if (s.timing || s.limitsVary || s.count < 2) return std::nullopt;
  return cpk(s.mean, s.stddev, s.low, s.high);
}

std::optional<double> YieldGroup::firstPassYield() const {
  if (firstAttempts == 0) return std::nullopt;
  return static_cast<double>(firstPass) / static_cast<double>(firstAttempts);
}

std::optional<double> YieldGroup::finalYield() const {
  if (serials == 0) return std::nullopt;
  return static_cast<double>(finalPass) / static_cast<double>(serials);
}

Distribution distributionOf(std::string title, std::string unit, std::optional<double> low,
                            std::optional<double> high, const std::vector<double> &values,
                            std::size_t bins) {
  Distribution d{std::move(title), std::move(unit), low, high, 0, 0, {}, 0};
  if (values.empty()) return d;
  const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
  if (bins == 0) {
    bins = static_cast<std::size_t>(std::ceil(std::log2(static_cast<double>(values.size())))) + 1;
  }
  bins = std::clamp<std::size_t>(bins, 1, 40);
  const double span = *hi - *lo;
  if (!(span > 0) || !std::isfinite(span)) bins = 1;
  d.from = *lo;
  d.width = bins > 1 ? span / static_cast<double>(bins) : 0.0;
  d.counts.assign(bins, 0);
  for (double v : values) {
    std::size_t b = d.width > 0 ? static_cast<std::size_t>((v - d.from) / d.width) : 0;
    ++d.counts[std::min(b, bins - 1)];
  }
  return d;
}

}  // namespace zolvane::analysis
