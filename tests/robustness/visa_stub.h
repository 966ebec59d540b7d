// Control of the heap-free VISA stub (visa_stub.cpp): canned answers per query text, in order,
// the last one repeating; a query without one times out.
#pragma once

#include "session/visa_api.h"

#define STUB_API __attribute__((visibility("default")))

extern "C" {
// Forgets every answer and failure and the call count.
STUB_API void stub_reset();
// Adds an answer for the query whose write is exactly `query` (up to 4 per query, 8 queries).
STUB_API void stub_answer(const char *query, const char *text);
// Every call returns `status` from now on (0: none fails).
STUB_API void stub_fail_every_call(ViStatus status);
// VISA calls made since the last reset.
STUB_API unsigned long stub_calls();
}
