// The VISA double: one process-wide state behind one mutex, so that tests may call it from many
// threads at once and the library, bound at run time to this same file, sees the same sessions.
#include "visa_double.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

namespace visa_double {
namespace {

struct SessionState {
  SessionKind kind = SessionKind::Unknown;
  ViSession rm = 0;  // for an instrument session: the resource manager it was opened through
};

struct TextFault {
  std::string text;
  unsigned nth = 0;
  ViStatus status = 0;
};

struct State {
  std::mutex mutex;
  // Handles are never reused, not even across reset(): a stale handle from an earlier test must
  // never name a session of a later one.
  ViSession nextHandle = 1;
  std::map<ViSession, SessionState> sessions;  // open sessions only
  std::vector<Event> log;
  std::map<std::string, std::vector<std::string>, std::less<>> answers;
  std::map<std::string, std::size_t, std::less<>> answersUsed;
  std::map<std::size_t, ViStatus> positionFaults;
  std::vector<TextFault> textFaults;
  std::map<std::string, unsigned, std::less<>> textCounts;
  ViSession failedOpenOut = 0;
};

// Never destroyed: the library under test closes its resource managers when it is unloaded,
// which at process exit may come after this library's own static destructors.
State &state() {
  static State *s = new State;
  return *s;
}

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

SessionKind kindOf(const State &s, ViSession vi) {
  auto it = s.sessions.find(vi);
  return it == s.sessions.end() ? SessionKind::Unknown : it->second.kind;
}

ViSession newHandle(State &s) {
  return s.nextHandle++;
}

// Counts this call for both kinds of fault and tells the status of the fault it hits, if any.
// Must run exactly once per call, before the call is logged.
std::optional<ViStatus> takeFault(State &s, std::string_view faultText) {
  std::optional<ViStatus> hit;
  if (auto it = s.positionFaults.find(s.log.size()); it != s.positionFaults.end()) {
    hit = it->second;
  }
  auto counted = s.textCounts.find(faultText);
  if (counted == s.textCounts.end()) {
    counted = s.textCounts.emplace(std::string(faultText), 0U).first;
  }
  unsigned occurrence = ++counted->second;
  if (!hit) {
    for (const TextFault &f : s.textFaults) {
      if (f.nth == occurrence && f.text == faultText) {
        hit = f.status;
        break;
      }
    }
  }
  return hit;
}

// ---- the write formatter ----

struct Formatted {
  ViStatus status = kViSuccess;
  std::string text;
  bool endsWithFormatNewline = false;
  bool newlineFromArgument = false;
};

bool isFlag(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}

template <typename T>
std::string formatOne(const std::string &piece, T value) {
  // The conversion was checked by the parser and is built from the caller's format; the value's type
  // matches its conversion and length.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = std::snprintf(nullptr, 0, piece.c_str(), value);
  if (n <= 0) {
    return {};
  }
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), piece.c_str(), value);
#pragma GCC diagnostic pop
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// A small printf over `fmt`: each conversion is handed alone to snprintf, so %f/%e/%g follow the
// process locale as a worst-case VISA would. Arguments are taken from *args in order, so that a
// query's read arguments can follow.
Formatted formatWrite(const char *fmt, va_list *args) {
  Formatted r;
  enum class Len { None, H, L, LL, Z };
  for (const char *p = fmt; *p != '\0';) {
    if (*p != '%') {
      r.text.push_back(*p);
      r.endsWithFormatNewline = (*p == '\n');
      ++p;
      continue;
    }
    const char *start = p++;
    if (*p == '%') {
      r.text.push_back('%');
      r.endsWithFormatNewline = false;
      ++p;
      continue;
    }
    while (isFlag(*p)) ++p;
    if (*p == '*') {
      r.status = kViErrorNsupFmt;
      return r;
    }
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        r.status = kViErrorNsupFmt;
        return r;
      }
      while (*p >= '0' && *p <= '9') ++p;
    }
    Len len = Len::None;
    if (*p == 'h') {
      len = Len::H;
      ++p;
    } else if (*p == 'l') {
      ++p;
      len = Len::L;
      if (*p == 'l') {
        len = Len::LL;
        ++p;
      }
    } else if (*p == 'z') {
      len = Len::Z;
      ++p;
    }
    const char conv = *p;
    if (conv == '\0') {
      r.status = kViErrorNsupFmt;
      return r;
    }
    ++p;
    const std::string piece(start, static_cast<std::size_t>(p - start));
    std::string out;
    switch (conv) {
      case 'd':
      case 'i':
        switch (len) {
          case Len::None: out = formatOne(piece, va_arg(*args, int)); break;
          case Len::H: out = formatOne(piece, va_arg(*args, int)); break;
          case Len::L: out = formatOne(piece, va_arg(*args, long)); break;
          case Len::LL: out = formatOne(piece, va_arg(*args, long long)); break;
          case Len::Z: out = formatOne(piece, va_arg(*args, std::ptrdiff_t)); break;
        }
        break;
      case 'u':
      case 'x':
      case 'X':
        switch (len) {
          case Len::None: out = formatOne(piece, va_arg(*args, unsigned)); break;
          case Len::H: out = formatOne(piece, va_arg(*args, unsigned)); break;
          case Len::L: out = formatOne(piece, va_arg(*args, unsigned long)); break;
          case Len::LL: out = formatOne(piece, va_arg(*args, unsigned long long)); break;
          case Len::Z: out = formatOne(piece, va_arg(*args, std::size_t)); break;
        }
        break;
      case 'c':
        if (len != Len::None) {
          r.status = kViErrorNsupFmt;
          return r;
        }
        out = formatOne(piece, va_arg(*args, int));
        break;
      case 's': {
        if (len != Len::None) {
          r.status = kViErrorNsupFmt;
          return r;
        }
        const char *s = va_arg(*args, const char *);
        if (s == nullptr) {
          r.status = kViErrorInvParameter;
          return r;
        }
        out = formatOne(piece, s);
        break;
      }
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
        if (len != Len::None && len != Len::L) {
          r.status = kViErrorNsupFmt;
          return r;
        }
        out = formatOne(piece, va_arg(*args, double));
        break;
      default:
        r.status = kViErrorNsupFmt;
        return r;
    }
    if ((conv == 's' || conv == 'c') && out.find('\n') != std::string::npos) {
      r.newlineFromArgument = true;
    }
    if (!out.empty()) {
      r.text += out;
      r.endsWithFormatNewline = false;
    }
  }
  return r;
}

// ---- the read side ----

enum class ReadKind { Invalid, Unbounded, Width, SizeArg };

struct ReadFormat {
  ReadKind kind = ReadKind::Invalid;
  std::size_t width = 0;
};

// Only the forms the library may use; anything else is refused before anything is sent.
ReadFormat parseReadFormat(const char *fmt) {
  if (fmt == nullptr) return {};
  std::string_view f(fmt);
  if (f == "%s") return {ReadKind::Unbounded, 0};
  if (f == "%#s") return {ReadKind::SizeArg, 0};
  if (f.size() < 3 || f.front() != '%' || f.back() != 's') return {};
  std::string_view digits = f.substr(1, f.size() - 2);
  if (digits.empty() || digits.front() == '0' || digits.size() > 9) return {};
  std::size_t width = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return {};
    width = width * 10 + static_cast<std::size_t>(c - '0');
  }
  return {ReadKind::Width, width};
}

bool isCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The token a "%s" read stores from `answer`, at most `limit` bytes, NULs included.
std::string_view token(std::string_view answer, std::size_t limit) {
  std::size_t b = 0;
  while (b < answer.size() && isCSpace(answer[b])) ++b;
  std::size_t e = b;
  while (e < answer.size() && !isCSpace(answer[e]) && e - b < limit) ++e;
  return answer.substr(b, e - b);
}

std::string upToNul(std::string_view bytes) {
  return std::string(bytes.substr(0, bytes.find('\0')));
}

// The fault text of the calls that carry no text of their own.
const char *fnName(Fn fn) {
  switch (fn) {
    case Fn::OpenDefaultRM: return "viOpenDefaultRM";
    case Fn::SetAttribute: return "viSetAttribute";
    case Fn::Close: return "viClose";
    default: return "";
  }
}

bool isResourceName(const char *name) {
  if (name == nullptr) return false;
  std::string_view n(name);
  constexpr std::string_view head = "GPIB0::";
  constexpr std::string_view tail = "::INSTR";
  if (n.size() <= head.size() + tail.size() || n.substr(0, head.size()) != head ||
      n.substr(n.size() - tail.size()) != tail) {
    return false;
  }
  std::string_view num = n.substr(head.size(), n.size() - head.size() - tail.size());
  if (num.size() > 2 || (num.size() == 2 && num[0] == '0')) return false;
  int value = 0;
  for (char c : num) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= 30;
}

// The I/O calls share everything but the read.
ViStatus io(Fn fn, ViSession vi, const char *writeFmt, const char *readFmt, va_list *args) {
  const std::int64_t t = nowNs();
  Event e;
  e.fn = fn;
  e.session = vi;
  e.tNs = t;
  ViStatus status = kViSuccess;
  ReadFormat read;
  if (fn == Fn::Queryf) {
    e.readFormat = readFmt ? readFmt : "";
    read = parseReadFormat(readFmt);
  }
  Formatted w;
  if (writeFmt == nullptr) {
    w.status = kViErrorInvParameter;
  } else {
    e.format = writeFmt;
    w = formatWrite(writeFmt, args);
  }
  e.text = w.text;
  e.endsWithFormatNewline = w.endsWithFormatNewline;
  e.newlineFromArgument = w.newlineFromArgument;

  // The read arguments follow the write's, so they can only be found once the write is parsed.
  ViInt32 *sizeArg = nullptr;
  char *dest = nullptr;
  if (fn == Fn::Queryf && w.status == kViSuccess && read.kind != ReadKind::Invalid) {
    if (read.kind == ReadKind::SizeArg) sizeArg = va_arg(*args, ViInt32 *);
    dest = va_arg(*args, char *);
  }

  State &s = state();
  std::lock_guard lock(s.mutex);
  e.sessionKind = kindOf(s, vi);
  const std::optional<ViStatus> fault = takeFault(s, e.text);
  if (fault) {
    status = *fault;
  } else if (e.sessionKind != SessionKind::Instrument) {
    // A resource manager takes no I/O; the strict answer keeps such a mix-up visible.
    status = kViErrorInvObject;
  } else if (fn == Fn::Queryf && read.kind == ReadKind::Invalid) {
    status = kViErrorNsupFmt;
  } else if (w.status != kViSuccess) {
    status = w.status;
  } else if (fn == Fn::Queryf &&
             (dest == nullptr || (read.kind == ReadKind::SizeArg && (sizeArg == nullptr || *sizeArg < 1)))) {
    status = kViErrorUserBuf;
  } else if (fn == Fn::Queryf) {
    auto it = s.answers.find(e.text);
    if (it == s.answers.end() || it->second.empty()) {
      status = kViErrorTmo;
    } else {
      std::size_t &used = s.answersUsed[e.text];
      e.answer = it->second[used];
      if (used + 1 < it->second.size()) ++used;
      std::size_t limit = e.answer.size();
      if (read.kind == ReadKind::Width) limit = read.width;
      if (read.kind == ReadKind::SizeArg) limit = static_cast<std::size_t>(*sizeArg) - 1;
      std::string_view tok = token(e.answer, limit);
      std::memcpy(dest, tok.data(), tok.size());
      dest[tok.size()] = '\0';
      if (sizeArg != nullptr) *sizeArg = static_cast<ViInt32>(tok.size());
      e.stored = upToNul(tok);
    }
  }
  e.status = status;
  s.log.push_back(std::move(e));
  return status;
}

}  // namespace

// ---- control ----

namespace {
// Everything a script sets up; the sessions stay.
void clearScript(State &s) {
  s.log.clear();
  s.answers.clear();
  s.answersUsed.clear();
  s.positionFaults.clear();
  s.textFaults.clear();
  s.textCounts.clear();
}
}  // namespace

void reset() {
  State &s = state();
  std::lock_guard lock(s.mutex);
  clearScript(s);
  s.sessions.clear();
  s.failedOpenOut = 0;
}

void restart() {
  State &s = state();
  std::lock_guard lock(s.mutex);
  clearScript(s);
}

std::vector<Event> events() {
  State &s = state();
  std::lock_guard lock(s.mutex);
  return s.log;
}

void answer(std::string_view query, std::string_view answerText) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.answers.find(query);
  if (it == s.answers.end()) {
    it = s.answers.emplace(std::string(query), std::vector<std::string>{}).first;
  }
  it->second.emplace_back(answerText);
}

void failAt(std::size_t position, ViStatus status) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  s.positionFaults[position] = status;
}

void failOn(std::string_view text, unsigned nth, ViStatus status) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  s.textFaults.push_back({std::string(text), nth, status});
}

void setFailedOpenOut(ViSession value) {
  State &s = state();
  std::lock_guard lock(s.mutex);
  s.failedOpenOut = value;
}

std::size_t openResourceManagers() {
  State &s = state();
  std::lock_guard lock(s.mutex);
  std::size_t n = 0;
  for (const auto &[handle, session] : s.sessions) {
    if (session.kind == SessionKind::ResourceManager) ++n;
  }
  return n;
}

std::size_t openSessions() {
  State &s = state();
  std::lock_guard lock(s.mutex);
  std::size_t n = 0;
  for (const auto &[handle, session] : s.sessions) {
    if (session.kind == SessionKind::Instrument) ++n;
  }
  return n;
}

std::string quoted(std::string_view bytes) {
  std::string out = "\"";
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
          out += hex;
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string describe(const Event &e) {
  std::string line;
  switch (e.fn) {
    case Fn::OpenDefaultRM:
      line = "openDefaultRM";
      break;
    case Fn::Open:
      line = "open " + quoted(e.text) + " mode " + std::to_string(e.accessMode) + " timeout " +
             std::to_string(e.openTimeout);
      break;
    case Fn::SetAttribute: {
      char attr[16];
      std::snprintf(attr, sizeof attr, "0x%08X", static_cast<unsigned>(e.attr));
      line = std::string("setAttribute ") + attr + " " + std::to_string(e.attrValue);
      break;
    }
    case Fn::Close:
      line = e.sessionKind == SessionKind::ResourceManager ? "close rm"
             : e.sessionKind == SessionKind::Instrument    ? "close instr"
                                                           : "close unknown";
      break;
    case Fn::Printf:
      line = "write " + quoted(e.text);
      break;
    case Fn::Queryf:
      line = "query " + quoted(e.text);
      if (e.status == kViSuccess) line += " -> " + quoted(e.stored);
      break;
  }
  if (e.status != kViSuccess) line += " failed " + std::to_string(e.status);
  return line;
}

}  // namespace visa_double

// ---- the VISA entry points ----

using visa_double::Event;
using visa_double::Fn;
using visa_double::SessionKind;

extern "C" VD_API ViStatus ZV_VI_FUNC viOpenDefaultRM(ViSession *rm) {
  Event e;
  e.fn = Fn::OpenDefaultRM;
  e.tNs = visa_double::nowNs();
  auto &s = visa_double::state();
  std::lock_guard lock(s.mutex);
  if (auto fault = visa_double::takeFault(s, visa_double::fnName(Fn::OpenDefaultRM))) {
    e.status = *fault;
    e.outSession = 0;
  } else if (rm == nullptr) {
    e.status = kViErrorInvParameter;
  } else {
    e.outSession = visa_double::newHandle(s);
    s.sessions[e.outSession] = {SessionKind::ResourceManager, 0};
  }
  if (rm != nullptr) *rm = e.outSession;
  ViStatus status = e.status;
  s.log.push_back(std::move(e));
  return status;
}

extern "C" VD_API ViStatus ZV_VI_FUNC viOpen(ViSession rm, ViRsrc name, ViAccessMode mode,
                                             ViUInt32 openTimeout, ViSession *vi) {
  Event e;
  e.fn = Fn::Open;
  e.tNs = visa_double::nowNs();
  e.session = rm;
  e.text = name ? name : "";
  e.accessMode = mode;
  e.openTimeout = openTimeout;
  auto &s = visa_double::state();
  std::lock_guard lock(s.mutex);
  e.sessionKind = visa_double::kindOf(s, rm);
  if (auto fault = visa_double::takeFault(s, e.text)) {
    e.status = *fault;
  } else if (e.sessionKind != SessionKind::ResourceManager) {
    e.status = kViErrorInvObject;
  } else if (vi == nullptr) {
    e.status = kViErrorInvParameter;
  } else if (!visa_double::isResourceName(name)) {
    e.status = kViErrorRsrcNfound;
  } else {
    e.outSession = visa_double::newHandle(s);
    s.sessions[e.outSession] = {SessionKind::Instrument, rm};
  }
  if (e.status != kViSuccess) e.outSession = s.failedOpenOut;
  if (vi != nullptr) *vi = e.outSession;
  ViStatus status = e.status;
  s.log.push_back(std::move(e));
  return status;
}

extern "C" VD_API ViStatus ZV_VI_FUNC viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
  Event e;
  e.fn = Fn::SetAttribute;
  e.tNs = visa_double::nowNs();
  e.session = vi;
  e.attr = attr;
  e.attrValue = value;
  auto &s = visa_double::state();
  std::lock_guard lock(s.mutex);
  e.sessionKind = visa_double::kindOf(s, vi);
  if (auto fault = visa_double::takeFault(s, visa_double::fnName(Fn::SetAttribute))) {
    e.status = *fault;
  } else if (e.sessionKind == SessionKind::Unknown) {
    e.status = kViErrorInvObject;
  }
  ViStatus status = e.status;
  s.log.push_back(std::move(e));
  return status;
}

extern "C" VD_API ViStatus ZV_VI_FUNC viClose(ViObject vi) {
  Event e;
  e.fn = Fn::Close;
  e.tNs = visa_double::nowNs();
  e.session = vi;
  auto &s = visa_double::state();
  std::lock_guard lock(s.mutex);
  e.sessionKind = visa_double::kindOf(s, vi);
  if (auto fault = visa_double::takeFault(s, visa_double::fnName(Fn::Close))) {
    e.status = *fault;
  } else if (e.sessionKind == SessionKind::Unknown) {
    e.status = kViErrorInvObject;
  } else {
    if (e.sessionKind == SessionKind::ResourceManager) {
      for (auto it = s.sessions.begin(); it != s.sessions.end();) {
        it = it->second.rm == vi ? s.sessions.erase(it) : std::next(it);
      }
    }
    s.sessions.erase(vi);
  }
  ViStatus status = e.status;
  s.log.push_back(std::move(e));
  return status;
}

extern "C" VD_API ViStatus ZV_VI_FUNCC viPrintf(ViSession vi, ViString writeFmt, ...) {
  va_list args;
  va_start(args, writeFmt);
  ViStatus status = visa_double::io(Fn::Printf, vi, writeFmt, nullptr, &args);
  va_end(args);
  return status;
}

extern "C" VD_API ViStatus ZV_VI_FUNCC viQueryf(ViSession vi, ViString writeFmt, ViString readFmt, ...) {
  va_list args;
  va_start(args, readFmt);
  ViStatus status = visa_double::io(Fn::Queryf, vi, writeFmt, readFmt, &args);
  va_end(args);
  return status;
}
