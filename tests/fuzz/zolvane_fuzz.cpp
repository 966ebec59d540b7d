// libFuzzer target: drives the library's operations through the VISA double with answers,
// faults and arguments the fuzzer chooses, and checks after every operation that the rules
// held: a failure is never turned into a success nor a success into a failure, nothing is sent
// after a failing step, a failed fetch stores nothing, a successful one stores what the C
// library's strtod makes of the answer (never a NaN), every message ends with its own line feed
// and every read is bounded. AddressSanitizer and
// UndefinedBehaviorSanitizer watch the memory; a broken rule aborts.
//
// An input is a small program, read from the front; running out of bytes ends it.
//   byte 0         bit 0 set: the test set is opened first
//   then records, each led by a byte c:
//     c % 4 == 0   answer: query (next byte % 6, kQueries), length L (next byte), L bytes;
//                  with c & 0x80 the bytes are repeated to 10,000 characters
//     c % 4 == 1   fault: position (next byte, counted from the start of the script) and status
//                  (next byte s: s < 16 picks kStatuses[s], else the next 4 bytes as it is)
//     c % 4 == 2   operation: next byte % 37, then one selector byte per argument (integers:
//                  < 32 picks kIntegers, else the next 4 bytes; reals: < 32 picks kReals, else
//                  the next 8 bytes; time-outs: byte % 3 seconds; out-parameters: 0 is null)
//     c % 4 == 3   a new script: answers, faults and positions start again
// Time-outs stay small: the polls keep their real arithmetic, and the long limits over the
// whole int range are the unit tests'. The library's sleeps are virtual (virtual_time.cpp).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "Zolvane.h"
#include "visa_double.h"

namespace vd = visa_double;

namespace {

constexpr const char *kQueries[] = {"FETC:CFER:RAT?\n",   "FETC:DAP?\n",       "FETC:CPOW?\n",
                                    "CALL:MS:REP:ESN?\n", "CALL:CONN:STAT?\n", "SYST:ERR?\n"};

constexpr ViStatus kStatuses[16] = {
    kViErrorTmo,         kViErrorIo,         kViErrorInvObject,   kViErrorSystemError,
    kViErrorRsrcNfound,  kViErrorInvFmt,     kViErrorNsupFmt,     kViErrorUserBuf,
    kViErrorInvParameter, kViErrorLibraryNfound, kViSuccessTermChar, kViSuccessMaxCnt,
    1,                   -1,                 INT32_MIN,           INT32_MAX};

constexpr int kIntegers[32] = {
    0,    1,    2,     3,      4,         5,             6,             7,
    8,    -1,   -2,    31,     30,        14,            20,            25,
    283,  384,  990,   991,    1023,      1024,          1323,          1324,
    4139, 65535, 100000, -1000, INT32_MIN, INT32_MIN + 1, INT32_MAX - 1, INT32_MAX};

const double kReals[32] = {0.0,     -0.0,    0.5,     1.25,    -2.0,     -55.5,  836.52,
                           1851.25, 99999.0, 1e20,    1e21,    1e22,     -1e22,  1e300,
                           -1e300,  1e308,   std::numeric_limits<double>::max(),
                           -std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::denorm_min(),
                           -std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           0.004999,  0.005,   -0.005,  0.0005,  1e-300,  123456789.125, -7.43};

class Input {
 public:
  Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  template <typename T>
  T raw() {
    T value{};
    unsigned char bytes[sizeof(T)] = {};
    for (unsigned char &b : bytes) b = byte();
    std::memcpy(&value, bytes, sizeof value);
    return value;
  }
  int integer() {
    const std::uint8_t s = byte();
    return s < 32 ? kIntegers[s] : raw<std::int32_t>();
  }
  double real() {
    const std::uint8_t s = byte();
    return s < 32 ? kReals[s] : raw<double>();
  }
  int timeOut() { return byte() % 3; }
  ViStatus status() {
    const std::uint8_t s = byte();
    return s < 16 ? kStatuses[s] : raw<std::int32_t>();
  }

 private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

[[noreturn]] void broken(const char *rule, const char *operation, int status) {
  std::fprintf(stderr, "rule broken by %s (status %d): %s\n", operation, status, rule);
  for (const vd::Event &e : vd::events()) std::fprintf(stderr, "  %s\n", vd::describe(e).c_str());
  std::abort();
}

void require(bool holds, const char *rule, const char *operation, int status) {
  if (!holds) broken(rule, operation, status);
}

bool isErrorQueueRead(const vd::Event &e) {
  return e.fn == vd::Fn::Queryf && e.text == "SYST:ERR?\n";
}
bool isQuery(const vd::Event &e, const char *text) {
  return e.fn == vd::Fn::Queryf && e.text == text;
}
bool isWrite(const vd::Event &e, const char *text) {
  return e.fn == vd::Fn::Printf && e.text == text;
}

// The connection state as atoi would read it, clamped where atoi's result is undefined.
long connectionState(const std::string &token) {
  return std::strtol(token.c_str(), nullptr, 10);
}

// What atof's decimal grammar makes of `text` (sign, digits, point, exponent; no hexadecimal,
// infinity or NaN), by the C library's own strtod in the C locale the fuzzer runs in.
double decimalValue(const std::string &text) {
  std::size_t end = 0;
  auto digits = [&] {
    const std::size_t from = end;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    return end > from;
  };
  if (end < text.size() && (text[end] == '+' || text[end] == '-')) ++end;
  bool any = digits();
  if (end < text.size() && text[end] == '.') {
    ++end;
    any = digits() || any;
  }
  if (!any) return 0.0;
  if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
    const std::size_t mark = end++;
    if (end < text.size() && (text[end] == '+' || text[end] == '-')) ++end;
    if (!digits()) end = mark;
  }
  return std::strtod(text.substr(0, end).c_str(), nullptr);
}

// The value a read must store for a token: exactly "NAN" (single value) or any "NAN" (two
// fields) is no result; a two-field token without a second field is no result as well.
double expectedValue(const std::string &token, bool twoField) {
  if (!twoField) return token == "NAN" ? NO_RESULT_VALUE : decimalValue(token);
  if (token.find("NAN") != std::string::npos) return NO_RESULT_VALUE;
  const std::size_t comma = token.find(',');
  if (comma == std::string::npos || comma + 1 == token.size()) return NO_RESULT_VALUE;
  return decimalValue(token.substr(comma + 1));
}

enum class Kind { Chain, Read, SingleRead, Sync, Check, End };

double measured = 0.0;
double *outPointer = nullptr;

struct Operation {
  const char *name;
  Kind kind;
  bool mayRefuse;  // may answer ZOLVANE_ERROR_INV_PARAMETER without a VISA call
  int (*run)(Input &);
};

// The out-parameter of a read: null for a selector byte of 0.
double *outParameter(Input &in) { return in.byte() == 0 ? nullptr : &measured; }

const Operation kOperations[] = {
    {"Zolvane_InitTester", Kind::Chain, false,
     [](Input &in) { return Zolvane_InitTester(in.integer()); }},
    {"Zolvane_ReleaseTester", Kind::Chain, false, [](Input &) { return Zolvane_ReleaseTester(); }},
    {"Zolvane_ResetTester", Kind::Chain, false, [](Input &) { return Zolvane_ResetTester(); }},
    {"Zolvane_ConfigCDMA2K", Kind::Chain, true,
     [](Input &in) { return Zolvane_ConfigCDMA2K(in.integer()); }},
    {"Zolvane_2K_SetBand", Kind::Chain, true,
     [](Input &in) { return Zolvane_2K_SetBand(in.integer()); }},
    {"Zolvane_2K_SetLoss", Kind::Chain, true,
     [](Input &in) { return Zolvane_2K_SetLoss(in.real()); }},
    {"Zolvane_2K_SetRFPort", Kind::Chain, false,
     [](Input &in) { return Zolvane_2K_SetRFPort(in.integer()); }},
    {"Zolvane_2K_OpenAct", Kind::Chain, false, [](Input &) { return Zolvane_2K_OpenAct(); }},
    {"Zolvane_2K_SetCellPower", Kind::Chain, true,
     [](Input &in) { return Zolvane_2K_SetCellPower(in.real()); }},
    {"Zolvane_2K_SetNetwork", Kind::Chain, false,
     [](Input &in) {
       const int sid = in.integer();
       return Zolvane_2K_SetNetwork(sid, in.integer());
     }},
    {"Zolvane_SetOperMode", Kind::Chain, false,
     [](Input &in) { return Zolvane_SetOperMode(static_cast<OperMode>(in.integer())); }},
    {"Zolvane_SetOperModeCALL", Kind::Chain, false,
     [](Input &) { return Zolvane_SetOperModeCALL(); }},
    {"Zolvane_SetOperModeCW", Kind::Chain, false, [](Input &) { return Zolvane_SetOperModeCW(); }},
    {"Zolvane_2K_SetChannel", Kind::Chain, false,
     [](Input &in) {
       const int channel = in.integer();
       return Zolvane_2K_SetChannel(channel, in.integer());
     }},
    {"Zolvane_SetCarrierFrequency", Kind::Chain, true,
     [](Input &in) { return Zolvane_SetCarrierFrequency(in.real()); }},
    {"Zolvane_2K_SyncNetwork", Kind::Sync, false,
     [](Input &in) { return Zolvane_2K_SyncNetwork(in.timeOut()); }},
    {"Zolvane_SetOrig", Kind::Chain, false, [](Input &) { return Zolvane_SetOrig(); }},
    {"Zolvane_CheckConnect", Kind::Check, false,
     [](Input &in) { return Zolvane_CheckConnect(in.timeOut()); }},
    {"Zolvane_EndCall", Kind::End, false, [](Input &) { return Zolvane_EndCall(); }},
    {"Zolvane_2K_HandOff", Kind::Chain, true,
     [](Input &in) {
       const int band = in.integer();
       return Zolvane_2K_HandOff(band, in.integer());
     }},
    {"Zolvane_2K_InitFER", Kind::Chain, false, [](Input &) { return Zolvane_2K_InitFER(); }},
    {"Zolvane_2K_MeasFER", Kind::SingleRead, false,
     [](Input &) { return Zolvane_2K_MeasFER(outPointer); }},
    {"Zolvane_2K_AbortFER", Kind::Chain, false, [](Input &) { return Zolvane_2K_AbortFER(); }},
    {"Zolvane_2K_InitMaxPower", Kind::Chain, false,
     [](Input &in) { return Zolvane_2K_InitMaxPower(in.integer()); }},
    {"Zolvane_2K_MeasMaxPower", Kind::Read, false,
     [](Input &) { return Zolvane_2K_MeasMaxPower(outPointer); }},
    {"Zolvane_2K_AbortMaxPower", Kind::Chain, false,
     [](Input &) { return Zolvane_2K_AbortMaxPower(); }},
    {"Zolvane_ConfigMeasDAP", Kind::Chain, false, [](Input &) { return Zolvane_ConfigMeasDAP(); }},
    {"Zolvane_InitDAPower", Kind::Chain, false, [](Input &) { return Zolvane_InitDAPower(); }},
    {"Zolvane_FetchDAPower", Kind::Read, false,
     [](Input &) { return Zolvane_FetchDAPower(outPointer); }},
    {"Zolvane_2K_InitMinPower", Kind::Chain, false,
     [](Input &) { return Zolvane_2K_InitMinPower(); }},
    {"Zolvane_2K_MeasMinPower", Kind::Read, false,
     [](Input &) { return Zolvane_2K_MeasMinPower(outPointer); }},
    {"Zolvane_2K_AbortMinPower", Kind::Chain, false,
     [](Input &) { return Zolvane_2K_AbortMinPower(); }},
    {"Zolvane_2K_InitRolop", Kind::Chain, false, [](Input &) { return Zolvane_2K_InitRolop(); }},
    {"Zolvane_2K_MeasRolop", Kind::Read, false,
     [](Input &) { return Zolvane_2K_MeasRolop(outPointer); }},
    {"Zolvane_2K_AbortRolop", Kind::Chain, false, [](Input &) { return Zolvane_2K_AbortRolop(); }},
    {"Zolvane_InitCPower", Kind::Chain, false, [](Input &) { return Zolvane_InitCPower(); }},
    {"Zolvane_FetchCPower", Kind::Read, false,
     [](Input &) { return Zolvane_FetchCPower(outPointer); }},
};
static_assert(sizeof kOperations / sizeof kOperations[0] == 37);

// The chain's rule: the first failing call other than an error-queue read is the last call and
// its status is the result; with none, the result is 0.
void checkChain(const Operation &op, const std::vector<vd::Event> &ev, int status) {
  if (ev.empty()) {
    const bool refused = op.mayRefuse && status == ZOLVANE_ERROR_INV_PARAMETER;
    const bool nullOut = (op.kind == Kind::Read || op.kind == Kind::SingleRead) &&
                         outPointer == nullptr && status == ZOLVANE_ERROR_USER_BUF;
    const bool nothingOpen = std::strcmp(op.name, "Zolvane_ReleaseTester") == 0 && status == 0;
    require(refused || nullOut || nothingOpen, "an operation without a VISA call refused nothing",
            op.name, status);
    return;
  }
  for (std::size_t i = 0; i < ev.size(); ++i) {
    if (ev[i].status == 0 || isErrorQueueRead(ev[i])) continue;
    require(i + 1 == ev.size(), "a call was made after a failing step", op.name, status);
    require(status == ev[i].status, "the failing step's status was not returned", op.name, status);
    return;
  }
  require(status == 0, "a run without a failing step did not return 0", op.name, status);
}

void checkRead(const Operation &op, const std::vector<vd::Event> &ev, int status, double before) {
  checkChain(op, ev, status);
  if (outPointer == nullptr) return;
  if (ev.empty() || ev.front().status != 0) {
    require(std::memcmp(&measured, &before, sizeof before) == 0,
            "a failed or missing fetch changed the value", op.name, status);
    return;
  }
  require(!std::isnan(measured), "a NaN was stored", op.name, status);
  require(measured == expectedValue(ev.front().stored, op.kind == Kind::Read),
          "the stored value is not what the answer gives", op.name, status);
}

void checkSync(const Operation &op, const std::vector<vd::Event> &ev, int status) {
  require(!ev.empty() && isWrite(ev.front(), "CALL:REG\n"), "no registration request", op.name,
          status);
  require(ev.size() >= 2, "no registration poll", op.name, status);
  for (std::size_t i = 1; i < ev.size(); ++i) {
    require(isQuery(ev[i], "CALL:MS:REP:ESN?\n"), "something other than an ESN poll", op.name,
            status);
    if (i + 1 < ev.size()) {
      require(ev[i].status == 0 && ev[i].stored.size() <= 5,
              "polling went on after a failure or a registration", op.name, status);
    }
  }
  const vd::Event &last = ev.back();
  if (status == 0) {
    require(last.status == 0 && last.stored.size() > 5, "0 without a registration", op.name,
            status);
  } else if (status != 1) {
    require(last.status == status, "a status the last poll did not give", op.name, status);
  }
}

void checkConnect(const Operation &op, const std::vector<vd::Event> &ev, int status) {
  require(status == 0 || status == 1, "a result other than 0 or 1", op.name, status);
  require(!ev.empty() && isQuery(ev.front(), "CALL:CONN:STAT?\n"), "no connection poll", op.name,
          status);
  const vd::Event *lastPoll = nullptr;
  for (const vd::Event &e : ev) {
    if (!isQuery(e, "CALL:CONN:STAT?\n")) continue;
    if (lastPoll != nullptr) {
      require(lastPoll->status == 0 && connectionState(lastPoll->stored) != 1,
              "polling went on after a failure or a connection", op.name, status);
    }
    lastPoll = &e;
  }
  const bool connected =
      lastPoll->status == 0 && connectionState(lastPoll->stored) == 1 && lastPoll == &ev.back();
  require((status == 0) == connected, "the result does not match the last poll", op.name, status);
}

void checkEndCall(const Operation &op, const std::vector<vd::Event> &ev, int status) {
  require(ev.size() >= 2 && isWrite(ev.front(), "CALL:END\n") && isWrite(ev.back(), "*RST\n"),
          "a release that does not start with CALL:END and end with *RST", op.name, status);
  const vd::Event &beforeReset = ev[ev.size() - 2];
  if (ev.front().status != 0) {
    require(ev.size() == 2 && status == ev.front().status, "a failed CALL:END went on", op.name,
            status);
    return;
  }
  if (status != 0) {
    require(isQuery(beforeReset, "CALL:CONN:STAT?\n") && beforeReset.status == status,
            "a status no poll gave", op.name, status);
    return;
  }
  const bool dropped = isQuery(beforeReset, "CALL:CONN:STAT?\n") && beforeReset.status == 0 &&
                       connectionState(beforeReset.stored) == 0;
  require(dropped || isErrorQueueRead(beforeReset), "0 before the call dropped or time ran out",
          op.name, status);
}

void checkMessages(const Operation &op, const std::vector<vd::Event> &ev, int status) {
  const vd::Event *first = nullptr;
  for (const vd::Event &e : ev) {
    if (e.fn != vd::Fn::Printf && e.fn != vd::Fn::Queryf) continue;
    if (first == nullptr) first = &e;
    require(e.session == first->session, "I/O on two sessions in one operation", op.name, status);
    require(e.endsWithFormatNewline, "a message without its own line feed", op.name, status);
    require(!e.newlineFromArgument, "a line feed through an argument", op.name, status);
    if (e.fn == vd::Fn::Queryf) {
      require(e.readFormat == "%255s", "an unbounded read", op.name, status);
    }
  }
}

// ZOLVANE_FUZZ_TRACE=1 prints what each input does: every operation, its status and its calls.
const bool tracing = std::getenv("ZOLVANE_FUZZ_TRACE") != nullptr;

void trace(const Operation &op, const std::vector<vd::Event> &ev, int status) {
  if (!tracing) return;
  std::fprintf(stderr, "%s -> %d\n", op.name, status);
  for (const vd::Event &e : ev) std::fprintf(stderr, "    %s\n", vd::describe(e).c_str());
}

// A known starting point for every input: band 0 remembered, nothing open, an empty double.
void startClean() {
  Zolvane_ReleaseTester();
  vd::reset();
  if (Zolvane_InitTester(5) == 0) {
    vd::answer("SYST:ERR?\n", "+0");
    (void)Zolvane_2K_SetBand(0);
  }
  Zolvane_ReleaseTester();
  vd::reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vd::reset();
  if (Zolvane_InitTester(5) == ZOLVANE_ERROR_LIBRARY_NFOUND) {
    std::fprintf(stderr, "the library found no VISA: put the double's folder on LD_LIBRARY_PATH\n");
    std::exit(1);
  }
  startClean();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  Input in(data, size);
  startClean();
  if (in.byte() & 1) {
    if (Zolvane_InitTester(5) != 0) std::abort();
    vd::restart();
  }
  while (!in.empty()) {
    const std::uint8_t c = in.byte();
    switch (c % 4) {
      case 0: {
        const char *query = kQueries[in.byte() % 6];
        const std::size_t length = in.byte();
        std::string answer;
        for (std::size_t i = 0; i < length && !in.empty(); ++i) {
          answer.push_back(static_cast<char>(in.byte()));
        }
        if ((c & 0x80) != 0 && !answer.empty()) {
          while (answer.size() < 10000) answer += answer;
          answer.resize(10000);
        }
        vd::answer(query, answer);
        break;
      }
      case 1: {
        const std::size_t position = in.byte();
        vd::failAt(position, in.status());
        break;
      }
      case 2: {
        const Operation &op = kOperations[in.byte() % 37];
        const std::size_t start = vd::events().size();
        if (op.kind == Kind::Read || op.kind == Kind::SingleRead) outPointer = outParameter(in);
        measured = in.real();
        const double before = measured;
        const int status = op.run(in);
        std::vector<vd::Event> all = vd::events();
        const std::vector<vd::Event> ev(all.begin() + static_cast<long>(start), all.end());
        trace(op, ev, status);
        checkMessages(op, ev, status);
        switch (op.kind) {
          case Kind::Chain: checkChain(op, ev, status); break;
          case Kind::Read:
          case Kind::SingleRead: checkRead(op, ev, status, before); break;
          case Kind::Sync: checkSync(op, ev, status); break;
          case Kind::Check: checkConnect(op, ev, status); break;
          case Kind::End: checkEndCall(op, ev, status); break;
        }
        break;
      }
      case 3:
        vd::restart();
        break;
    }
  }
  return 0;
}
