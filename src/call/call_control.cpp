// Registration, origination, connection check and release. Three of these poll the test set
// against a time-out, so their statuses follow rules of their own rather than the chain's.
#include <climits>
#include <cstdint>
#include <cstring>

#include "Zolvane.h"
#include "session/timing.h"
#include "session/transport.h"

namespace zolvane {
namespace {

// The phone counts as registered once the test set reports an ESN longer than this.
constexpr std::size_t kUnregisteredEsnLength = 5;
constexpr double kRegistrationPollPause = 0.5;
constexpr double kConnectionPollPause = 0.05;
constexpr std::uint32_t kReleaseLimitMs = 5000;

constexpr int kConnected = 1;
constexpr int kNotConnected = 0;
constexpr int kTimedOut = 1;

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The leading integer of an answer by atoi's grammar (white space, sign, digits; no number
// gives 0). atoi's overflow is undefined, and on some C libraries wraps "4294967297" to 1, so a
// value out of range saturates instead: it is neither connected nor dropped.
int connectionState(const char *token) {
  const char *p = token;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  long long value = 0;
  for (; isDigit(*p); ++p) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Between connection polls the test set's status is cleared and one error-queue entry taken
// out; neither belongs to the poll's result.
void clearBetweenPolls(Response &scratch) {
  (void)send("*CLS\n");
  readErrorQueue(scratch);
  Delay(kConnectionPollPause);
}

}  // namespace
}  // namespace zolvane

using namespace zolvane;

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_2K_SyncNetwork(int nTimeOut) {
  // The limit is an unsigned 32-bit product, so -1 means about 49.7 days.
  const std::uint32_t limit = limitMilliseconds(nTimeOut);
  const std::uint32_t start = zolvane::clock();
  // The first query's status replaces this one: a phone that reports its ESN is registered
  // whether or not the request went out.
  int status = send("CALL:REG\n");
  Response esn;
  do {
    status = query("CALL:MS:REP:ESN?\n", esn);
    if (status != 0) break;
    if (std::strlen(esn.text) > kUnregisteredEsnLength) break;
    Delay(kRegistrationPollPause);
  } while (!limitReached(start, zolvane::clock(), limit));
  // Reaching the limit is a time-out even when the last poll found the ESN or failed.
  if (limitReached(start, zolvane::clock(), limit)) status = kTimedOut;
  return status;
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_SetOrig(void) { return send("CALL:ORIG\n"); }

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_CheckConnect(int nTimeOut) {
  int state = kNotConnected;
  const std::uint32_t start = zolvane::clock();
  const std::uint32_t limit = limitMilliseconds(nTimeOut);
  Response answer;
  do {
    // A failed query is no connection: the caller learns only connected or not.
    if (query("CALL:CONN:STAT?\n", answer) != 0) break;
    state = connectionState(answer.text);
    if (state == kConnected) break;
    clearBetweenPolls(answer);
  } while (!limitReached(start, zolvane::clock(), limit));
  return state == kConnected ? 0 : 1;
}

extern "C" ZOLVANE_API int ZOLVANE_CALL Zolvane_EndCall(void) {
  int status = send("CALL:END\n");
  const std::uint32_t start = zolvane::clock();
  if (status == 0) {
    Response answer;
    do {
      status = query("CALL:CONN:STAT?\n", answer);
      if (status != 0) break;
      if (connectionState(answer.text) == kNotConnected) break;
      clearBetweenPolls(answer);
    } while (!limitReached(start, zolvane::clock(), kReleaseLimitMs));
  }
  // The reset goes out whatever happened before; a call still up after the wait is cleared by
  // it, which is why the wait running out is not a failure.
  (void)send("*RST\n");
  return status;
}
