// libFuzzer target for the simulated test set's VISA front, which third-party clients (PyVISA,
// C programs) reach with anything: raw writes of any bytes, formatted writes whose format the
// fuzzer writes, formatted and raw reads into small buffers, resource names and search
// expressions, attributes, locks, events and flushes. The clock is virtual, so time-outs cost
// nothing. After every call: the status is one the simulator describes (viStatusDesc), a read
// never reports more than it was given room for, and text results are terminated.
// AddressSanitizer and UndefinedBehaviorSanitizer watch the memory; a broken rule aborts.
//
// An input is a program read from the front; running out of bytes ends it.
//   byte 0       the configuration (kOptions)
//   then records, each led by a byte c, c % 16 picking the call (see run()); texts are a length
//   byte and that many bytes. Two records repeat a text, so that a short input reaches the
//   front's limits: a search expression of thousands of '*' or '+' (past the length cap), and a
//   compound message of thousands of commands (past the message limit).
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "visa_front.h"

using namespace zolvane_sim;

namespace {

constexpr const char *kOptions[] = {
    "noise=0",
    "answer_delay=0.5",
    "timeout_on=FETC:DAP?,CALL:END;timeout_wait=0.25",
    "slow_on=*IDN?;answer_delay=3;reg_delay=0;conn_delay=0",
    "address=3;meas_delay=0",
};

constexpr ViAttr kAttrs[] = {
    kViAttrTmoValue,       kViAttrTermchar,        kViAttrTermcharEn,     kViAttrSendEndEn,
    kViAttrSuppressEndEn,  kViAttrRsrcClass,       kViAttrRsrcName,       kViAttrIntfType,
    kViAttrIntfNum,        kViAttrRsrcManfName,    kViAttrGpibPrimaryAddr, kViAttrRsrcLockState,
    kViAttrRsrcImplVersion, kViAttrMaxQueueLength, kViAttrIoProt,         0x3FFF0FFFU};

class VirtualClock : public Clock {
 public:
  Seconds now() override { return t; }
  void sleepUntil(Seconds until) override {
    if (until > t) t = until;
  }
  Seconds t = 1000.0;
};

[[noreturn]] void broken(const char *rule, ViStatus s) {
  std::fprintf(stderr, "rule broken: %s (status 0x%08X)\n", rule, static_cast<unsigned>(s));
  std::abort();
}

struct Reader {
  const std::uint8_t *p;
  std::size_t n;
  bool more() const { return n > 0; }
  std::uint8_t byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
  std::uint32_t word() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | byte();
    return v;
  }
  std::string text() {
    std::size_t len = byte();
    len = std::min(len, n);
    std::string s(reinterpret_cast<const char *>(p), len);
    p += len;
    n -= len;
    return s;
  }
};

ViStatus printfTo(VisaFront &f, ViSession vi, const char *fmt, ...) {
  va_list a;
  va_start(a, fmt);
  ViStatus s = f.viVPrintf(vi, fmt, a);
  va_end(a);
  return s;
}

ViStatus queryTo(VisaFront &f, ViSession vi, const char *wfmt, const char *rfmt, ...) {
  va_list a;
  va_start(a, rfmt);
  ViStatus s = f.viVQueryf(vi, wfmt, rfmt, a);
  va_end(a);
  return s;
}

ViStatus scanFrom(VisaFront &f, ViSession vi, const char *rfmt, ...) {
  va_list a;
  va_start(a, rfmt);
  ViStatus s = f.viVScanf(vi, rfmt, a);
  va_end(a);
  return s;
}

// The argument kinds a write format takes, as the front reads them: i int, l long, d double,
// s string. The format is cut before the conversion that would need a fourth argument, so that
// no conversion reads an argument that was not passed.
// `unit` `reps` times after `head`, joined by `sep` (none when 0), at most `most` bytes.
std::string repeated(std::string head, const std::string &unit, std::size_t reps, char sep,
                     std::size_t most) {
  for (std::size_t i = 0; i < reps && head.size() < most && !unit.empty(); ++i) {
    if (sep && i) head += sep;
    head += unit;
  }
  if (head.size() > most) head.resize(most);
  return head;
}

std::string shapeOf(std::string &fmt) {
  std::string kinds;
  for (std::size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != '%') continue;
    std::size_t start = i++;
    if (i < fmt.size() && fmt[i] == '%') continue;
    std::string k;
    while (i < fmt.size() && std::strchr("-+ #0", fmt[i]) && fmt[i]) ++i;
    if (i < fmt.size() && fmt[i] == '*') { k += 'i'; ++i; }
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') ++i;
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      if (i < fmt.size() && fmt[i] == '*') { k += 'i'; ++i; }
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') ++i;
    }
    char length = 0;
    if (i < fmt.size() && (fmt[i] == 'h' || fmt[i] == 'l')) length = fmt[i++];
    char conv = i < fmt.size() ? fmt[i] : 0;
    if (conv && std::strchr("diuoxX", conv)) k += length == 'l' ? 'l' : 'i';
    else if (conv == 'c') k += 'i';
    else if (conv && std::strchr("feEgG", conv)) k += 'd';
    else if (conv == 's') k += 's';
    if (kinds.size() + k.size() > 3) {
      fmt.resize(start);
      break;
    }
    kinds += k;
  }
  return kinds;
}

struct Args {
  int i;
  long l;
  double d;
  const char *s;
};

template <int Depth, class F, class... A>
ViStatus expand(F &f, const Args &v, const char *kinds, A... args) {
  if constexpr (Depth == 0) {
    return f(args...);
  } else {
    switch (*kinds) {
      case 'i': return expand<Depth - 1>(f, v, kinds + 1, args..., v.i);
      case 'l': return expand<Depth - 1>(f, v, kinds + 1, args..., v.l);
      case 'd': return expand<Depth - 1>(f, v, kinds + 1, args..., v.d);
      case 's': return expand<Depth - 1>(f, v, kinds + 1, args..., v.s);
      default: return f(args...);
    }
  }
}

void checkStatus(VisaFront &f, ViStatus s) {
  char desc[256];
  if (f.viStatusDesc(0, s, desc) != kViSuccess) broken("every status returned is described", s);
  if (std::strlen(desc) >= sizeof desc) broken("a description fits its buffer", s);
}

void run(VisaFront &f, VirtualClock &clock, Reader &in) {
  ViSession rm = 0, vi = 0;
  checkStatus(f, f.viOpenDefaultRM(&rm));
  checkStatus(f, f.viOpen(rm, "GPIB0::14::INSTR", 0, 0, &vi));
  std::vector<ViSession> handles{0, rm, vi, vi + 1, 0xFFFFFFFFU};
  static char big[1 << 18];  // room for any answer an input of 8 KiB can ask for
  int compounds = 0;
  while (in.more()) {
    std::uint8_t c = in.byte();
    ViSession target = (c & 0x80) ? handles[in.byte() % handles.size()] : vi;
    clock.t += (c & 0x40) ? in.byte() * 0.01 : 0.0;
    ViStatus s = kViSuccess;
    switch (c % 16) {
      case 0: case 1: {  // raw write
        std::string bytes = in.text();
        ViUInt32 n = 0;
        s = f.viWrite(target, reinterpret_cast<const ViByte *>(bytes.data()),
                      static_cast<ViUInt32>(bytes.size()), &n);
        if (n > bytes.size()) broken("a write reports no more than it was given", s);
        break;
      }
      case 2: case 3: {  // raw read into a small buffer
        ViByte buf[256];
        ViUInt32 count = in.byte(), n = 0;
        s = f.viRead(target, buf, count, &n);
        if (n > count) broken("a read returns no more than its count", s);
        if (s == kViSuccessMaxCnt && n != count) broken("MAX_CNT means a full buffer", s);
        break;
      }
      case 4: case 5: {  // formatted write with a format of the fuzzer's
        std::string fmt = in.text();
        std::string arg = in.text();
        Args a{static_cast<int>(in.word()), static_cast<long>(static_cast<std::int32_t>(in.word())),
               static_cast<double>(static_cast<std::int32_t>(in.word())) / 7.0, arg.c_str()};
        std::string kinds = shapeOf(fmt);
        auto call = [&](auto... xs) { return printfTo(f, target, fmt.c_str(), xs...); };
        s = expand<3>(call, a, kinds.c_str());
        break;
      }
      case 6: case 7: {  // query or scan with a read format of the fuzzer's
        std::string wfmt = in.text();
        std::string rfmt = in.text();
        for (char &ch : wfmt)
          if (ch == '%') ch = ' ';
        ViInt32 size = static_cast<ViInt32>(in.byte()) + 1;
        ViInt32 given = size;
        // The caller promises room for the width it names; a width beyond the buffer is not
        // a call a correct program makes.
        if (std::strtoul(rfmt.c_str() + (rfmt.find('%') == std::string::npos ? 0 : rfmt.find('%') + 1), nullptr, 10) > 65536)
          break;
        bool sized = rfmt.find("%#") != std::string::npos;
        std::memset(big, 'x', sizeof big);
        if (c % 16 == 6)
          s = sized ? queryTo(f, target, wfmt.c_str(), rfmt.c_str(), &size, big)
                    : queryTo(f, target, wfmt.c_str(), rfmt.c_str(), big);
        else
          s = sized ? scanFrom(f, target, rfmt.c_str(), &size, big)
                    : scanFrom(f, target, rfmt.c_str(), big);
        if (s == kViSuccess && !std::memchr(big, '\0', sizeof big))
          broken("a read string is terminated", s);
        if (s == kViSuccess && sized && (size < 0 || size >= given))
          broken("a sized read stays within its size", s);
        break;
      }
      case 8: {  // attributes
        ViAttr attr = kAttrs[in.byte() % (sizeof kAttrs / sizeof kAttrs[0])];
        std::uint8_t how = in.byte();
        if (how & 1) {
          s = f.viSetAttribute(target, attr, (how & 2) ? in.word() : in.byte() % 3);
        } else {
          char value[256];
          std::memset(value, 0x55, sizeof value);
          s = f.viGetAttribute(target, attr, value);
        }
        break;
      }
      case 9: {
        ViUInt16 stb = 0;
        s = f.viReadSTB(target, &stb);
        if (s == kViSuccess && (stb & ~0x14U)) broken("only the status byte's modelled bits", s);
        break;
      }
      case 10: s = (c & 0x20) ? f.viClear(target) : f.viFlush(target, static_cast<ViUInt16>(in.word())); break;
      case 11: {
        char key[256];
        std::string want = in.text();
        std::uint8_t how = in.byte();
        s = (how & 1) ? f.viUnlock(target)
                      : f.viLock(target, how % 4, how & 2 ? 0 : 100, want.c_str(), key);
        break;
      }
      case 12: {
        ViEventType type = (c & 0x20) ? in.word() : kViAllEnabledEvents;
        auto mech = static_cast<ViUInt16>(in.byte());
        switch (in.byte() % 3) {
          case 0: s = f.viEnableEvent(target, type, mech, 0); break;
          case 1: s = f.viDisableEvent(target, type, mech); break;
          default: s = f.viDiscardEvents(target, type, mech); break;
        }
        break;
      }
      case 13: {  // search expressions (a head and a repeated tail) and resource names
        std::string text = in.text();
        char desc[256], cls[256], expanded[256], alias[256];
        ViFindList list = 0;
        ViUInt32 count = 0;
        ViUInt16 type = 0, num = 0;
        if (c & 0x20) {
          std::string unit = in.text();
          text = repeated(text, unit, std::size_t{in.byte()} * 64, 0, kMaxSearchExpression + 64);
          s = f.viFindRsrc(rm, text.c_str(), &list, &count, desc);
          if (s == kViSuccess && std::strncmp(desc, "GPIB0::", 7) != 0)
            broken("a find names the one instrument", s);
          if (s == kViSuccess) {
            checkStatus(f, f.viFindNext(list, desc));
            checkStatus(f, f.viClose(list));
          }
        } else {
          s = f.viParseRsrcEx(rm, text.c_str(), &type, &num, cls, expanded, alias);
        }
        break;
      }
      case 14: {  // open and close sessions
        ViSession h = 0;
        std::string name = in.text();
        if (c & 0x20) {
          s = f.viOpen(rm, name.c_str(), in.byte() % 8, 0, &h);
          if (s == kViSuccess) handles.push_back(h);
        } else {
          s = f.viClose(target);
        }
        break;
      }
      default: {  // a whole SCPI message, the way clients send one
        std::string msg = in.text();
        if ((c & 0x20) && compounds < 2) {  // a compound message: the command repeated
          // At most 2,033 commands, twice an input, to keep an input's run short under the
          // sanitizers; blanks after them take the message past the limit at no cost.
          ++compounds;
          std::uint8_t r = in.byte();
          msg = repeated("", msg, std::size_t{r & 0x7FU} * 16 + 1, ';', kMaxMessageBytes);
          if (r & 0x80) msg.append(kMaxMessageBytes, ' ');
        }
        s = printfTo(f, target, "%s\n", msg.c_str());
        break;
      }
    }
    checkStatus(f, s);
  }
  checkStatus(f, f.viClose(rm));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1 || size > 8192) return 0;
  Reader in{data, size};
  std::string options = kOptions[in.byte() % (sizeof kOptions / sizeof kOptions[0])];
  VirtualClock clock;
  VisaFront f([&options](Config &c, std::string &e) { return applyOptions(c, options, e); }, clock);
  run(f, clock, in);
  return 0;
}
