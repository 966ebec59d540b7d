// A VISA that never touches the heap: canned answers in fixed buffers, no log, no strings. With
// it in VISA's place, every allocation made while an operation runs is the library's own.
#include "visa_stub.h"

#include <cstdarg>
#include <cstring>

namespace {

constexpr int kQueries = 8;
constexpr int kAnswersPerQuery = 4;
constexpr std::size_t kAnswerSize = 10001;

struct Answers {
  char query[64];
  char text[kAnswersPerQuery][kAnswerSize];
  int count;
  int used;
};

Answers answers[kQueries];
int queryCount = 0;
ViStatus failure = 0;
unsigned long callCount = 0;

Answers *find(const char *query) {
  for (int i = 0; i < queryCount; ++i) {
    if (std::strcmp(answers[i].query, query) == 0) return &answers[i];
  }
  return nullptr;
}

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

extern "C" {

STUB_API void stub_reset() {
  queryCount = 0;
  failure = 0;
  callCount = 0;
}

STUB_API void stub_answer(const char *query, const char *text) {
  Answers *a = find(query);
  if (a == nullptr) {
    if (queryCount == kQueries) return;
    a = &answers[queryCount++];
    std::strncpy(a->query, query, sizeof a->query - 1);
    a->query[sizeof a->query - 1] = '\0';
    a->count = 0;
    a->used = 0;
  }
  if (a->count == kAnswersPerQuery) return;
  std::strncpy(a->text[a->count], text, kAnswerSize - 1);
  a->text[a->count][kAnswerSize - 1] = '\0';
  ++a->count;
}

STUB_API void stub_fail_every_call(ViStatus status) { failure = status; }

STUB_API unsigned long stub_calls() { return callCount; }

STUB_API ViStatus ZV_VI_FUNC viOpenDefaultRM(ViSession *rm) {
  ++callCount;
  if (failure != 0) return failure;
  *rm = 1;
  return 0;
}

STUB_API ViStatus ZV_VI_FUNC viOpen(ViSession, ViRsrc, ViAccessMode, ViUInt32, ViSession *vi) {
  ++callCount;
  if (failure != 0) return failure;
  *vi = 2;
  return 0;
}

STUB_API ViStatus ZV_VI_FUNC viSetAttribute(ViObject, ViAttr, ViAttrState) {
  ++callCount;
  return failure;
}

STUB_API ViStatus ZV_VI_FUNC viClose(ViObject) {
  ++callCount;
  return failure;
}

STUB_API ViStatus ZV_VI_FUNCC viPrintf(ViSession, ViString, ...) {
  ++callCount;
  return failure;
}

// The library's queries carry no write arguments; the read is "%255s" into one buffer.
STUB_API ViStatus ZV_VI_FUNCC viQueryf(ViSession, ViString writeFmt, ViString readFmt, ...) {
  ++callCount;
  if (failure != 0) return failure;
  Answers *a = find(writeFmt);
  if (a == nullptr || a->count == 0) return kViErrorTmo;
  const char *text = a->text[a->used];
  if (a->used + 1 < a->count) ++a->used;
  va_list args;
  va_start(args, readFmt);
  char *destination = va_arg(args, char *);
  va_end(args);
  while (isSpace(*text)) ++text;
  std::size_t n = 0;
  while (n < 255 && text[n] != '\0' && !isSpace(text[n])) {
    destination[n] = text[n];
    ++n;
  }
  destination[n] = '\0';
  return 0;
}

}  // extern "C"
