// What a formatted call (viPrintf, viScanf, viQueryf and their va_list forms) passes: the
// arguments of a write format shown as values, and the places a read format stores into, shown
// after the call. Only conversions whose argument types are certain are read from the va_list;
// at the first other one the listing stops, so that nothing is read with a wrong type.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

namespace zolvane_trace {

struct ReadTarget {
  enum Kind { Text, Char, Int, Long, Short, Float, Double } kind;
  void *where;
  std::size_t bound;  // for Text: the most characters the buffer holds, 0 when unbounded
};

struct ReadPlan {
  std::vector<ReadTarget> targets;
  bool complete = true;  // false when a conversion stopped the listing
};

// Appends ", value" for each argument the write format takes; consumes them from `args`.
// Returns false when it stopped at a conversion it does not list (the rest are left unread).
bool appendWriteArgs(std::string &out, const char *format, va_list &args);

// Collects where the read format stores its values; consumes the pointers from `args`.
ReadPlan planReads(const char *format, va_list &args);

// Appends the stored values, after a call that succeeded.
void appendReads(std::string &out, const ReadPlan &plan);

}  // namespace zolvane_trace
