// Formatted I/O: viPrintf's formatting into the write buffer and its sending, viScanf's and
// viQueryf's read formats.
#include "visa_front_internal.h"

#include <algorithm>
#include <cstdio>

namespace zolvane_sim {
namespace {

using front::escaped;

// The read formats a read or a query may use: one string conversion, optionally with a width.
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

// The read's arguments, taken before anything is sent or read.
struct ReadTarget {
  ViInt32 *count = nullptr;
  char *dest = nullptr;
};

ViStatus takeReadTarget(const ReadFormat &rf, va_list &ap, ReadTarget &t) {
  if (rf.kind == ReadFormat::WidthArgument) t.count = va_arg(ap, ViInt32 *);
  t.dest = va_arg(ap, char *);
  if (!t.dest || (rf.kind == ReadFormat::WidthArgument && (!t.count || *t.count < 1)))
    return kViErrorUserBuf;
  return kViSuccess;
}

// %s: skip leading white space, store one token, bounded by the width.
void storeToken(const std::string &answer, const ReadFormat &rf, const ReadTarget &t) {
  std::size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < answer.size() && blank(answer[i])) ++i;
  std::size_t j = i;
  while (j < answer.size() && !blank(answer[j])) ++j;
  std::size_t n = j - i;
  if (rf.kind == ReadFormat::Width) n = std::min(n, rf.width);
  if (rf.kind == ReadFormat::WidthArgument) n = std::min(n, static_cast<std::size_t>(*t.count - 1));
  answer.copy(t.dest, n, i);
  t.dest[n] = '\0';
  if (t.count) *t.count = static_cast<ViInt32>(n);
}

// One printf conversion appended whole, however long; the count, or negative for a bad one.
template <class T>
int appendFormatted(std::string &out, const std::string &fmt, T value) {
  char buf[512];
  int n = std::snprintf(buf, sizeof buf, fmt.c_str(), value);
  if (n < 0) return n;
  if (static_cast<std::size_t>(n) < sizeof buf) {
    out.append(buf, static_cast<std::size_t>(n));
  } else {
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), fmt.c_str(), value);
    out.append(text.data(), static_cast<std::size_t>(n));
  }
  return n;
}

}  // namespace

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
    // A field this wide is refused: formatting it would take seconds for one call.
    constexpr long kMaxField = 65535;
    long width = 0;
    if (*p == '*') {
      long w = va_arg(args, int);
      ++p;
      if (w < 0) {  // a negative width left-justifies
        piece += '-';
        w = -w;
      }
      width = w;
      if (width <= kMaxField) piece += std::to_string(width);
    } else {
      for (; *p >= '0' && *p <= '9'; piece += *p++)
        if (width <= kMaxField) width = width * 10 + (*p - '0');
    }
    if (width > kMaxField) return kViErrorNsupFmt;
    if (*p == '.') {
      ++p;
      long precision = 0;
      bool given = true;
      if (*p == '*') {
        long v = va_arg(args, int);
        ++p;
        given = v >= 0;  // a negative precision counts as none
        precision = given ? v : 0;
      } else {
        for (; *p >= '0' && *p <= '9'; ++p)
          if (precision <= kMaxField) precision = precision * 10 + (*p - '0');
      }
      if (precision > kMaxField) return kViErrorNsupFmt;
      if (given) piece += "." + std::to_string(precision);
    }
    char length = 0;
    if (*p == 'h' || *p == 'l') length = *p++;
    char conv = *p;
    if (!conv) return kViErrorInvFmt;
    int n = 0;
    switch (conv) {
      case 'd': case 'i': case 'u': case 'o': case 'x': case 'X':
        if (length == 'l') {
          piece += 'l';
          piece += conv;
          long v = va_arg(args, long);
          n = appendFormatted(pending, piece, v);
        } else {
          piece += conv;
          int v = va_arg(args, int);
          if (length == 'h') v = conv == 'd' || conv == 'i' ? static_cast<short>(v) : static_cast<unsigned short>(v);
          n = appendFormatted(pending, piece, v);
        }
        break;
      case 'c': {
        if (length) return kViErrorNsupFmt;
        piece += conv;
        n = appendFormatted(pending, piece, va_arg(args, int));
        break;
      }
      case 'f': case 'e': case 'E': case 'g': case 'G': {
        // The process locale decides the decimal separator here, as in many a VISA.
        if (length == 'h') return kViErrorNsupFmt;
        piece += conv;
        n = appendFormatted(pending, piece, va_arg(args, double));
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
  }
  if (flush && !pending.empty()) {
    messages.push_back(std::move(pending));
    pending.clear();
  }
  out.rest = std::move(pending);
  return kViSuccess;
}

ViStatus VisaFront::send(std::unique_lock<std::mutex> &lock, Session &s, Formatted &f) {
  Seconds now = clock_.now();
  s.writeBuffer.clear();
  if (!f.messages.empty() && !input_.empty()) {
    f.messages.front().insert(0, input_);
    input_.clear();
  }
  for (std::string &m : f.messages) {
    if (!deliver(std::move(m), now)) {
      waitFor(lock, s.tmoMs, now, config_.timeoutWait);
      return refusal_;
    }
  }
  // The buffer flushes when full: whole buffers go to the test set without END, which holds
  // them as the start of a message.
  std::string &rest = f.rest;
  if (std::size_t full = rest.size() - rest.size() % kWriteBufSize) {
    hold(std::string_view(rest).substr(0, full));
    trace(now, '=', "write buffer full: " + std::to_string(full) + " bytes sent without END");
    rest.erase(0, full);
  }
  s.writeBuffer = std::move(rest);
  if (!s.writeBuffer.empty())
    trace(now, '=', "write buffer holds \"" + escaped(s.writeBuffer) +
                        "\": no line feed in the format, nothing sent yet");
  return kViSuccess;
}

ViStatus VisaFront::viVPrintf(ViSession vi, ViConstString writeFmt, va_list args) {
  std::unique_lock<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  va_list ap;
  va_copy(ap, args);
  Formatted f;
  ViStatus st = format(*s, writeFmt, ap, false, f);
  va_end(ap);
  return st != kViSuccess ? st : send(lock, *s, f);
}

ViStatus VisaFront::viVScanf(ViSession vi, ViConstString readFmt, va_list args) {
  std::unique_lock<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  ReadFormat rf;
  if (!readFmt) return kViErrorUserBuf;
  if (ViStatus st = parseReadFormat(readFmt, rf)) return st;
  va_list ap;
  va_copy(ap, args);
  ReadTarget t;
  ViStatus st = takeReadTarget(rf, ap, t);
  va_end(ap);
  if (st != kViSuccess) return st;
  if ((st = awaitAnswer(lock, vi, kNever)) != kViSuccess) return st;
  storeToken(unread_, rf, t);
  unread_.clear();  // what the read left of the answer is dropped
  return kViSuccess;
}

ViStatus VisaFront::viVQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt,
                              va_list args) {
  std::unique_lock<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  ReadFormat rf;
  if (!readFmt) return kViErrorUserBuf;
  if (ViStatus st = parseReadFormat(readFmt, rf)) return st;
  va_list ap;
  va_copy(ap, args);
  // The write flushes whatever is buffered, with END, before the read.
  Formatted f;
  ViStatus st = format(*s, writeFmt, ap, true, f);
  ReadTarget t;
  if (st == kViSuccess) st = takeReadTarget(rf, ap, t);  // nowhere to store: nothing is sent
  va_end(ap);
  if (st != kViSuccess) return st;
  if ((st = send(lock, *s, f)) != kViSuccess) return st;
  if ((st = awaitAnswer(lock, vi, config_.timeoutWait)) != kViSuccess) return st;
  storeToken(unread_, rf, t);
  unread_.clear();  // what the read left of the answer is dropped: the next query starts afresh
  return kViSuccess;
}

}  // namespace zolvane_sim
