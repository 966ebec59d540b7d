#include "visa_front.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

namespace zolvane_sim {
namespace {

std::string escaped(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else out += ch;
  }
  return out;
}

std::string statusName(ViStatus s) {
  switch (s) {
    case kViErrorTmo: return "VI_ERROR_TMO";
    case kViErrorInvObject: return "VI_ERROR_INV_OBJECT";
    case kViErrorRsrcNfound: return "VI_ERROR_RSRC_NFOUND";
    case kViErrorInvFmt: return "VI_ERROR_INV_FMT";
    case kViErrorNsupFmt: return "VI_ERROR_NSUP_FMT";
    case kViErrorUserBuf: return "VI_ERROR_USER_BUF";
    case kViErrorSystemError: return "VI_ERROR_SYSTEM_ERROR";
    case kViErrorNsupAttr: return "VI_ERROR_NSUP_ATTR";
    case kViErrorInvParameter: return "VI_ERROR_INV_PARAMETER";
    default: return std::to_string(s);
  }
}

// The read formats a query may use: one string conversion, optionally with a width.
struct ReadFormat {
  enum Kind { Unbounded, Width, WidthArgument } kind = Unbounded;
  std::size_t width = 0;
};

ViStatus parseReadFormat(const char *fmt, ReadFormat &out) {
  std::string_view f(fmt);
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!f.empty() && blank(f.front())) f.remove_prefix(1);
  while (!f.empty() && blank(f.back())) f.remove_suffix(1);
  if (f.size() < 2 || f.front() != '%') return kViErrorNsupFmt;
  std::string_view piece = f.substr(1, f.size() - 2);
  if (f.back() != 's') return kViErrorNsupFmt;
  if (piece.empty()) {
    out.kind = ReadFormat::Unbounded;
  } else if (piece == "#") {
    out.kind = ReadFormat::WidthArgument;
  } else {
    std::size_t w = 0;
    for (char c : piece) {
      if (c < '0' || c > '9') return kViErrorNsupFmt;
      w = w * 10 + static_cast<std::size_t>(c - '0');
      if (w > (1U << 30)) return kViErrorInvFmt;
    }
    if (w == 0) return kViErrorInvFmt;
    out.kind = ReadFormat::Width;
    out.width = w;
  }
  return kViSuccess;
}

}  // namespace

SteadyClock::SteadyClock()
    : originNs_(std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count()) {}

Seconds SteadyClock::now() {
  long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
  return static_cast<double>(ns - originNs_) * 1e-9;
}

void SteadyClock::sleepUntil(Seconds t) {
  Seconds d = t - now();
  if (d > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(d));
}

VisaFront::VisaFront(Loader load, Clock &clock) : load_(std::move(load)), clock_(clock) {}

VisaFront::~VisaFront() {
  if (trace_ && ownTrace_) std::fclose(trace_);
}

void VisaFront::trace(Seconds t, char kind, const std::string &text) {
  if (!trace_) return;
  std::fprintf(trace_, "[%12.6f] %c %s\n", t, kind, text.c_str());
  std::fflush(trace_);
}

ViStatus VisaFront::openDefaultRM(ViSession *rm) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!rm) return kViErrorInvParameter;
  *rm = 0;
  if (!loaded_) {
    loaded_ = true;
    Config c;
    std::string error;
    if (!load_(c, error)) {
      loadError_ = error;
    } else if (std::string bad = TestSet::checkConfig(c); !bad.empty()) {
      loadError_ = bad;
    } else {
      config_ = std::move(c);
      testSet_ = std::make_unique<TestSet>(config_);
      if (config_.trace == "-") {
        trace_ = stderr;
      } else if (!config_.trace.empty()) {
        trace_ = std::fopen(config_.trace.c_str(), "w");
        ownTrace_ = trace_ != nullptr;
        if (!trace_)
          std::fprintf(stderr, "zolvane simulator: cannot write the trace to %s\n",
                       config_.trace.c_str());
      }
      if (trace_) {
        std::time_t wall = std::time(nullptr);
        char when[64];
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&wall));
        std::fprintf(trace_,
                     "# Zolvane simulated test set, trace started %s; times in seconds since the "
                     "simulator started\n",
                     when);
      }
      testSet_->setEventSink([this](Seconds t, const std::string &e) { trace(t, '*', e); });
    }
    if (!loadError_.empty())
      std::fprintf(stderr, "zolvane simulator: %s\n", loadError_.c_str());
  }
  if (!testSet_) return kViErrorSystemError;
  ViSession h = nextHandle_++;
  sessions_[h].resourceManager = true;
  *rm = h;
  trace(clock_.now(), '=', "viOpenDefaultRM -> session " + std::to_string(h));
  return kViSuccess;
}

ViStatus VisaFront::open(ViSession rm, const char *name, ViAccessMode, ViUInt32,
                         ViSession *vi) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!vi) return kViErrorInvParameter;
  *vi = 0;
  auto it = sessions_.find(rm);
  if (it == sessions_.end() || !it->second.resourceManager) return kViErrorInvObject;
  // GPIB0::<primary>::INSTR; the board number and the INSTR suffix may be left out.
  std::string r = upper(name ? name : "");
  std::size_t i = 0;
  bool ok = r.compare(0, 4, "GPIB") == 0;
  i = 4;
  if (ok && i < r.size() && r[i] == '0') ++i;
  ok = ok && r.compare(i, 2, "::") == 0;
  i += 2;
  int address = -1;
  if (ok) {
    std::size_t start = i;
    address = 0;
    while (i < r.size() && r[i] >= '0' && r[i] <= '9' && i - start < 3) address = address * 10 + (r[i++] - '0');
    ok = i > start;
  }
  std::string_view rest = ok ? std::string_view(r).substr(i) : std::string_view{};
  ok = ok && (rest.empty() || rest == "::INSTR");
  Seconds now = clock_.now();
  if (!ok || address != config_.address) {
    trace(now, '=', std::string("viOpen ") + (name ? name : "(null)") + " -> VI_ERROR_RSRC_NFOUND (the test set is at GPIB0::" +
                        std::to_string(config_.address) + "::INSTR)");
    return kViErrorRsrcNfound;
  }
  ViSession h = nextHandle_++;
  Session &s = sessions_[h];
  s.owner = rm;
  *vi = h;
  trace(now, '=', std::string("viOpen ") + name + " -> session " + std::to_string(h));
  return kViSuccess;
}

ViStatus VisaFront::setAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sessions_.find(vi);
  if (it == sessions_.end()) return kViErrorInvObject;
  if (attr != kViAttrTmoValue || it->second.resourceManager) return kViErrorNsupAttr;
  it->second.tmoMs = static_cast<ViUInt32>(value);
  trace(clock_.now(), '=', "session " + std::to_string(vi) + ": I/O time-out " +
                               std::to_string(it->second.tmoMs) + " ms");
  return kViSuccess;
}

ViStatus VisaFront::close(ViObject vi) {
  std::lock_guard<std::mutex> lock(mu_);
  if (vi == 0) return kViWarnNullObject;
  auto it = sessions_.find(vi);
  if (it == sessions_.end()) return kViErrorInvObject;
  // Closing a resource manager closes every session opened through it.
  if (it->second.resourceManager) {
    for (auto s = sessions_.begin(); s != sessions_.end();) {
      if (!s->second.resourceManager && s->second.owner == vi) {
        trace(clock_.now(), '=', "viClose session " + std::to_string(s->first) + " (with its resource manager)");
        s = sessions_.erase(s);
      } else {
        ++s;
      }
    }
  }
  sessions_.erase(vi);
  trace(clock_.now(), '=', "viClose session " + std::to_string(vi));
  return kViSuccess;
}

VisaFront::Session *VisaFront::instrument(ViSession vi) {
  auto it = sessions_.find(vi);
  if (it == sessions_.end() || it->second.resourceManager) return nullptr;
  return &it->second;
}

// Formats like VISA's viPrintf: a line feed in the format ends a message (END and flush); one
// that arrives through an argument is plain data. Nothing is sent when the format is bad.
ViStatus VisaFront::format(const Session &s, const char *fmt, va_list &args, bool flush,
                           Formatted &out) {
  if (!fmt) return kViErrorUserBuf;
  std::string pending = s.writeBuffer;
  std::vector<std::string> &messages = out.messages;
  for (const char *p = fmt; *p; ++p) {
    if (*p == '\n') {
      messages.push_back(std::move(pending));
      pending.clear();
      continue;
    }
    if (*p != '%') {
      pending += *p;
      continue;
    }
    ++p;
    if (*p == '%') {
      pending += '%';
      continue;
    }
    std::string piece = "%";
    while (*p && std::string_view("-+ #0").find(*p) != std::string_view::npos) piece += *p++;
    if (*p == '*') {
      piece += std::to_string(va_arg(args, int));
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') piece += *p++;
    }
    if (*p == '.') {
      piece += *p++;
      if (*p == '*') {
        piece += std::to_string(va_arg(args, int));
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') piece += *p++;
      }
    }
    char length = 0;
    if (*p == 'h' || *p == 'l') length = *p++;
    char conv = *p;
    if (!conv) return kViErrorInvFmt;
    char buf[512];
    int n = 0;
    switch (conv) {
      case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
        if (length == 'l') {
          piece += 'l';
          piece += conv;
          long v = va_arg(args, long);
          n = std::snprintf(buf, sizeof buf, piece.c_str(), v);
        } else {
          piece += conv;
          int v = va_arg(args, int);
          if (length == 'h') v = conv == 'd' || conv == 'i' ? static_cast<short>(v) : static_cast<unsigned short>(v);
          n = std::snprintf(buf, sizeof buf, piece.c_str(), v);
        }
        break;
      case 'c': {
        if (length) return kViErrorNsupFmt;
        piece += conv;
        n = std::snprintf(buf, sizeof buf, piece.c_str(), va_arg(args, int));
        break;
      }
      case 'f': case 'e': case 'E': case 'g': case 'G': {
        // The process locale decides the decimal separator here, as in many a VISA.
        if (length == 'h') return kViErrorNsupFmt;
        piece += conv;
        n = std::snprintf(buf, sizeof buf, piece.c_str(), va_arg(args, double));
        break;
      }
      case 's': {
        if (length) return kViErrorNsupFmt;
        const char *str = va_arg(args, const char *);
        if (!str) return kViErrorUserBuf;
        if (piece == "%") {
          pending += str;
          continue;
        }
        piece += conv;
        int need = std::snprintf(nullptr, 0, piece.c_str(), str);
        if (need < 0) return kViErrorInvFmt;
        std::string text(static_cast<std::size_t>(need) + 1, '\0');
        std::snprintf(text.data(), text.size(), piece.c_str(), str);
        text.resize(static_cast<std::size_t>(need));
        pending += text;
        continue;
      }
      default:
        return kViErrorNsupFmt;
    }
    if (n < 0) return kViErrorInvFmt;
    pending.append(buf, static_cast<std::size_t>(std::min<int>(n, static_cast<int>(sizeof buf) - 1)));
  }
  if (flush && !pending.empty()) {
    messages.push_back(std::move(pending));
    pending.clear();
  }
  out.rest = std::move(pending);
  return kViSuccess;
}

ViStatus VisaFront::send(Session &s, Formatted &f) {
  Seconds now = clock_.now();
  s.writeBuffer.clear();
  for (std::string &m : f.messages) {
    if (!deliver(s, std::move(m), now)) {
      waitFor(s, now, config_.timeoutWait);
      return kViErrorTmo;
    }
  }
  s.writeBuffer = std::move(f.rest);
  if (!s.writeBuffer.empty())
    trace(now, '=', "write buffer holds \"" + escaped(s.writeBuffer) +
                        "\": no line feed in the format, nothing sent yet");
  return kViSuccess;
}

// One message with END. The instrument's parser also ends a message at a line feed inside it.
bool VisaFront::deliver(Session &, std::string bytes, Seconds now) {
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = bytes.find('\n', start);
    std::string part = bytes.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
    testSet_->advance(now);  // the phone's events up to now go into the trace first
    trace(now, '>', escaped(part));
    if (!testSet_->receive(part, now)) {
      trace(now, '!', "the test set does not accept the message: the write times out");
      return false;
    }
    if (lf == std::string::npos) return true;
    start = lf + 1;
  }
}

Seconds VisaFront::deadline(const Session &s, Seconds start) const {
  if (s.tmoMs == kViTmoInfinite) return kNever;
  return start + s.tmoMs / 1000.0;
}

// How long a call that will never complete waits before it reports the time-out.
void VisaFront::waitFor(const Session &s, Seconds start, Seconds wait) {
  Seconds until = std::min(deadline(s, start), start + wait);
  if (std::isfinite(until)) clock_.sleepUntil(until);
}

ViStatus VisaFront::vprintf(ViSession vi, const char *writeFmt, va_list args) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  va_list ap;
  va_copy(ap, args);
  Formatted f;
  ViStatus st = format(*s, writeFmt, ap, false, f);
  va_end(ap);
  return st != kViSuccess ? st : send(*s, f);
}

ViStatus VisaFront::vqueryf(ViSession vi, const char *writeFmt, const char *readFmt,
                            va_list args) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  ReadFormat rf;
  if (!readFmt) return kViErrorUserBuf;
  if (ViStatus st = parseReadFormat(readFmt, rf)) return st;
  va_list ap;
  va_copy(ap, args);
  // The write flushes whatever is buffered, with END, before the read.
  Formatted f;
  ViStatus st = format(*s, writeFmt, ap, true, f);
  if (st != kViSuccess) {
    va_end(ap);
    return st;
  }
  ViInt32 *count = nullptr;
  if (rf.kind == ReadFormat::WidthArgument) count = va_arg(ap, ViInt32 *);
  char *dest = va_arg(ap, char *);
  va_end(ap);
  // A read with nowhere to store fails before anything is sent.
  if (!dest || (rf.kind == ReadFormat::WidthArgument && (!count || *count < 1)))
    return kViErrorUserBuf;
  if ((st = send(*s, f)) != kViSuccess) return st;

  Seconds start = clock_.now();
  Seconds limit = deadline(*s, start);
  std::string response;
  for (;;) {
    Seconds now = clock_.now();
    Seconds readyAt = kNever;
    if (testSet_->takeResponse(now, response, readyAt)) break;
    if (readyAt == kNever) {
      waitFor(*s, start, config_.timeoutWait);
      trace(clock_.now(), '!', "no answer: " + statusName(kViErrorTmo));
      return kViErrorTmo;
    }
    if (readyAt > limit) {
      clock_.sleepUntil(limit);
      trace(clock_.now(), '!', "no answer within " + std::to_string(s->tmoMs) + " ms: " +
                                   statusName(kViErrorTmo));
      return kViErrorTmo;
    }
    clock_.sleepUntil(readyAt);
  }
  trace(clock_.now(), '<', escaped(response));

  // %s: skip leading white space, store one token, bounded by the width.
  std::size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < response.size() && blank(response[i])) ++i;
  std::size_t j = i;
  while (j < response.size() && !blank(response[j])) ++j;
  std::size_t n = j - i;
  if (rf.kind == ReadFormat::Width) n = std::min(n, rf.width);
  if (rf.kind == ReadFormat::WidthArgument) n = std::min(n, static_cast<std::size_t>(*count - 1));
  response.copy(dest, n, i);
  dest[n] = '\0';
  if (count) *count = static_cast<ViInt32>(n);
  // What the read left of the answer is dropped: the next query starts on a fresh one.
  return kViSuccess;
}

}  // namespace zolvane_sim
