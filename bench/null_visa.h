// The null VISA: a shared library that exports the six VISA entry points the binding needs and
// answers every call at once. It does only the work any VISA must do with the bytes (format the
// write into its buffer, scan the answer into the caller's destination by the read width), so
// that what a benchmark sees above it is the library's own cost. It never allocates.
//
// The benchmark links it for the control functions below and puts it on the loader path under
// the names the binding tries; the loader maps one file once, so the library binds this very
// instance.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define NULL_VISA_API __declspec(dllexport)
#else
#define NULL_VISA_API __attribute__((visibility("default")))
#endif

namespace null_visa {

struct Counts {
  std::uint64_t openDefaultRM = 0;
  std::uint64_t open = 0;
  std::uint64_t setAttribute = 0;
  std::uint64_t close = 0;
  std::uint64_t printf = 0;
  std::uint64_t queryf = 0;

  std::uint64_t sessionCalls() const { return openDefaultRM + open + setAttribute + close; }
  std::uint64_t total() const { return sessionCalls() + printf + queryf; }
};

NULL_VISA_API Counts counts();

// The answer to a query whose write is exactly `query` ("FETC:DAP?\n"); a later call for the
// same query replaces it. A query with no answer times out (VI_ERROR_TMO) at once. At most 16
// answers, queries under 64 bytes, answers under 256.
NULL_VISA_API void setAnswer(const char *query, const char *answer);
// How often `query` was answered since it was last set.
NULL_VISA_API std::uint64_t timesAsked(const char *query);

// The last message written or queried, as formatted.
NULL_VISA_API const char *lastMessage();
// While on, every viPrintf and viQueryf adds its function, session, formatted write and read
// format to a digest, so that two runs can be shown to make the very same calls. Off at start:
// it costs time.
NULL_VISA_API void setDigesting(bool on);
NULL_VISA_API std::uint64_t digest();

// The instrument session opened last (0 before the first).
NULL_VISA_API unsigned lastInstrument();

}  // namespace null_visa
