#include "session/transport.h"

#include "session/visa_binding.h"

namespace zolvane {

ViSession viInstr = 0;
ViSession TestSetResourceManagerHandle = 0;

namespace {
// Bounded so that a long token is cut, never written past the buffer.
constexpr const char *kReadToken = "%255s";
static_assert(Response::kSize == 256, "the read width above is the buffer size less the NUL");
}  // namespace

int send(const char *command) { return visa::printf(viInstr, command); }

int send(const char *format, int value) { return visa::printf(viInstr, format, value); }

int send(const char *format, const char *text) { return visa::printf(viInstr, format, text); }

int query(const char *query, Response &answer) {
  answer.text[0] = '\0';
  const int status = visa::queryf(viInstr, query, kReadToken, answer.text);
  answer.text[Response::kSize - 1] = '\0';
  return status;
}

void readErrorQueue(Response &scratch) { (void)query("SYST:ERR?\n", scratch); }

}  // namespace zolvane
