#include "null_visa.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "session/visa_api.h"

#define NULL_VISA_ENTRY extern "C" NULL_VISA_API

namespace null_visa {
namespace {

// Session numbers are handed out once each; 0 is never a session.
constexpr std::size_t kSessionLimit = 4096;
enum class Kind : unsigned char { None, ResourceManager, Instrument };
struct Session {
  Kind kind = Kind::None;
  ViSession parent = 0;
};
Session sessions[kSessionLimit];
ViSession nextSession = 1;

struct Answer {
  char query[64];
  char text[256];
  std::uint64_t asked;
};
constexpr std::size_t kAnswerLimit = 16;
Answer answers[kAnswerLimit];
std::size_t answerCount = 0;

Counts calls;
ViSession instrumentOpened = 0;
// VISA's formatted-write buffer.
char message[1024];

bool digesting = false;
std::uint64_t digestValue = 0;

// FNV-1a.
void addToDigest(const void *data, std::size_t size) {
  const auto *p = static_cast<const unsigned char *>(data);
  for (std::size_t i = 0; i < size; ++i) {
    digestValue ^= p[i];
    digestValue *= 0x100000001b3ULL;
  }
}
void addCall(char function, ViSession vi, const char *written, const char *readFormat) {
  if (!digesting) return;
  addToDigest(&function, 1);
  addToDigest(&vi, sizeof vi);
  addToDigest(written, std::strlen(written) + 1);
  if (readFormat != nullptr) addToDigest(readFormat, std::strlen(readFormat) + 1);
}

Kind kindOf(ViObject vi) { return vi < kSessionLimit ? sessions[vi].kind : Kind::None; }

ViStatus newSession(Kind kind, ViSession parent, ViSession *out) {
  if (nextSession >= kSessionLimit) return kViErrorSystemError;
  const ViSession s = nextSession++;
  sessions[s] = Session{kind, parent};
  *out = s;
  return kViSuccess;
}

Answer *find(const char *query) {
  for (std::size_t i = 0; i < answerCount; ++i) {
    if (std::strcmp(answers[i].query, query) == 0) return &answers[i];
  }
  return nullptr;
}

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// "%s" or "%Ns": skip white space, store one token of at most N characters and a NUL.
ViStatus scanToken(const char *readFormat, const char *answer, char *destination) {
  const char *f = readFormat;
  if (*f++ != '%') return kViErrorNsupFmt;
  std::size_t width = 0;
  bool bounded = false;
  for (; *f >= '0' && *f <= '9'; ++f) {
    width = width * 10 + static_cast<std::size_t>(*f - '0');
    bounded = true;
  }
  if (f[0] != 's' || f[1] != '\0') return kViErrorNsupFmt;
  const char *p = answer;
  while (isSpace(*p)) ++p;
  std::size_t n = 0;
  while (p[n] != '\0' && !isSpace(p[n]) && (!bounded || n < width)) {
    destination[n] = p[n];
    ++n;
  }
  destination[n] = '\0';
  return kViSuccess;
}

}  // namespace

Counts counts() { return calls; }

void setAnswer(const char *query, const char *answer) {
  Answer *a = find(query);
  if (a == nullptr) {
    if (answerCount == kAnswerLimit || std::strlen(query) >= sizeof a->query) return;
    a = &answers[answerCount++];
    std::snprintf(a->query, sizeof a->query, "%s", query);
  }
  std::snprintf(a->text, sizeof a->text, "%s", answer);
  a->asked = 0;
}

std::uint64_t timesAsked(const char *query) {
  const Answer *a = find(query);
  return a == nullptr ? 0 : a->asked;
}

const char *lastMessage() { return message; }

unsigned lastInstrument() { return instrumentOpened; }

void setDigesting(bool on) {
  digesting = on;
  digestValue = 0xcbf29ce484222325ULL;
}

std::uint64_t digest() { return digestValue; }

}  // namespace null_visa

using namespace null_visa;

NULL_VISA_ENTRY ViStatus ZV_VI_FUNC viOpenDefaultRM(ViSession *rm) {
  ++calls.openDefaultRM;
  if (rm == nullptr) return kViErrorUserBuf;
  return newSession(Kind::ResourceManager, 0, rm);
}

NULL_VISA_ENTRY ViStatus ZV_VI_FUNC viOpen(ViSession rm, ViRsrc, ViAccessMode, ViUInt32,
                                            ViSession *vi) {
  ++calls.open;
  if (kindOf(rm) != Kind::ResourceManager) return kViErrorInvObject;
  if (vi == nullptr) return kViErrorUserBuf;
  const ViStatus status = newSession(Kind::Instrument, rm, vi);
  if (status == kViSuccess) instrumentOpened = *vi;
  return status;
}

NULL_VISA_ENTRY ViStatus ZV_VI_FUNC viSetAttribute(ViObject vi, ViAttr, ViAttrState) {
  ++calls.setAttribute;
  return kindOf(vi) == Kind::None ? kViErrorInvObject : kViSuccess;
}

NULL_VISA_ENTRY ViStatus ZV_VI_FUNC viClose(ViObject vi) {
  ++calls.close;
  const Kind kind = kindOf(vi);
  if (kind == Kind::None) return kViErrorInvObject;
  if (kind == Kind::ResourceManager) {
    for (Session &s : sessions) {
      if (s.kind == Kind::Instrument && s.parent == vi) s = Session{};
    }
  }
  sessions[vi] = Session{};
  return kViSuccess;
}

NULL_VISA_ENTRY ViStatus ZV_VI_FUNCC viPrintf(ViSession vi, ViString writeFormat, ...) {
  ++calls.printf;
  if (kindOf(vi) != Kind::Instrument) return kViErrorInvObject;
  va_list args;
  va_start(args, writeFormat);
  std::vsnprintf(message, sizeof message, writeFormat, args);
  va_end(args);
  addCall('p', vi, message, nullptr);
  return kViSuccess;
}

NULL_VISA_ENTRY ViStatus ZV_VI_FUNCC viQueryf(ViSession vi, ViString writeFormat,
                                              ViString readFormat, ...) {
  ++calls.queryf;
  if (kindOf(vi) != Kind::Instrument) return kViErrorInvObject;
  // The library's queries carry no write arguments, so the first argument is the destination.
  if (std::strchr(writeFormat, '%') != nullptr) return kViErrorNsupFmt;
  std::snprintf(message, sizeof message, "%s", writeFormat);
  addCall('q', vi, message, readFormat);
  Answer *a = find(message);
  if (a == nullptr) return kViErrorTmo;
  ++a->asked;
  va_list args;
  va_start(args, readFormat);
  char *destination = va_arg(args, char *);
  va_end(args);
  return scanToken(readFormat, a->text, destination);
}
