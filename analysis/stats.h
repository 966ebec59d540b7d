// Running statistics of one step, kept in constant memory (Welford's update): no loss of digits
// for readings with a large offset and a small spread.
#pragma once

#include <cstddef>
#include <optional>

namespace zolvane::analysis {

class RunningStats {
 public:
  void add(double x);

  std::size_t count() const { return n_; }
  double min() const { return min_; }
  double max() const { return max_; }
  double mean() const { return mean_; }
  // Sample standard deviation (n - 1); none for fewer than two values.
  std::optional<double> stddev() const;

 private:
  std::size_t n_ = 0;
  double mean_ = 0.0;
  double m2_ = 0.0;  // sum of squared deviations from the running mean
  double min_ = 0.0;
  double max_ = 0.0;
};

// Cpk against the limits given; with one limit the one-sided index (Cpu or Cpl). None when it is
// undefined: no limit, no standard deviation, or no spread.
std::optional<double> cpk(double mean, std::optional<double> stddev, std::optional<double> low,
                          std::optional<double> high);

}  // namespace zolvane::analysis
