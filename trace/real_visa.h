// The real VISA behind the trace: found once, at the first call, from ZOLVANE_TRACE_VISA or the
// platform's usual VISA names, never the trace itself (whose folder is first on the loader path).
#pragma once

#include <functional>
#include <string_view>

#include "entry_points.h"

namespace zolvane_trace {

#define ZV_TRACE_ENUM(name, params, args) name,
#define ZV_TRACE_ENUM_SKIP(name, params, last, vname, args)
enum class Entry { ZV_VISA_ENTRY_POINTS(ZV_TRACE_ENUM, ZV_TRACE_ENUM_SKIP) count };
#undef ZV_TRACE_ENUM
#undef ZV_TRACE_ENUM_SKIP

class RealVisa {
 public:
  // `note` receives one line: the library it forwards to (kind #), or why there is none (kind !).
  explicit RealVisa(const std::function<void(char, std::string_view)> &note);

  bool loaded() const { return library_ != nullptr; }
  // The real entry point, or null when that VISA lacks it.
  void *entry(Entry e) const { return entries_[static_cast<int>(e)]; }

  // Seconds on the steady clock.
  static double now();

 private:
  void *library_ = nullptr;
  void *entries_[static_cast<int>(Entry::count)] = {};
};

}  // namespace zolvane_trace
