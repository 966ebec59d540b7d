// The trace VISA: every entry point of visa/entry_points.h, forwarded unchanged to the real VISA
// and recorded as one line: the call with what it writes, what it read, its status and the time
// it took. Variadic calls go through the real library's va_list entry points.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "entry_points.h"
#include "formatted_args.h"
#include "real_visa.h"
#include "trace_file.h"
#include "trace_format.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <unistd.h>
#endif

#if defined(_WIN32)
#define ZV_TRACE_EXPORT __declspec(dllexport)
#else
#define ZV_TRACE_EXPORT __attribute__((visibility("default")))
#endif

#define ZV_UNPACK(...) __VA_ARGS__

namespace zolvane_trace {
namespace {

using zolvane::trace_format::appendEscaped;
using zolvane::trace_format::appendPrefix;
using zolvane::trace_format::appendStatus;
using zolvane::trace_format::header;

class Sink {
 public:
  Sink() : origin_(RealVisa::now()) {
    const char *path = std::getenv("ZOLVANE_TRACE");
    std::string error;
    if (!path || !*path || !file_.open(path, error)) {
      if (!error.empty()) std::fprintf(stderr, "zolvane trace: %s; tracing to stderr\n", error.c_str());
      file_.useStandardError();
    }
    file_.write(header("Zolvane trace VISA, process " + std::to_string(processId()),
                       "the trace started"));
  }

  double seconds(double t) const { return t - origin_; }

  void write(std::string &line) { file_.write(std::move(line)); }

  void note(char kind, std::string_view text) {
    std::string line;
    appendPrefix(line, seconds(RealVisa::now()), kind);
    line += text;
    write(line);
  }

 private:
  static long processId() {
#if defined(_WIN32)
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(getpid());
#endif
  }

  // Never closed: VISA users close sessions from their own exit code.
  zolvane::trace_format::TraceFile file_{"zolvane trace"};
  double origin_;
};

Sink &sink() {
  static auto *s = new Sink;
  return *s;
}

RealVisa &real() {
  static auto *r = new RealVisa([](char kind, std::string_view line) { sink().note(kind, line); });
  return *r;
}

// One call's record. The text between the name's parentheses is filled before the call (what it
// sends), the part after "->" after it (what it read).
struct Record {
  char kind = '=';
  std::string args;
  std::string read;
  ReadPlan reads;
  bool planned = false;
};

void arg(Record &r, unsigned long long v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%s%llu", r.args.empty() ? "" : ", ", v);
  r.args += buf;
}
void argHex(Record &r, unsigned long long v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%s0x%llX", r.args.empty() ? "" : ", ", v);
  r.args += buf;
}
void argText(Record &r, const char *s) {
  if (!r.args.empty()) r.args += ", ";
  if (!s) {
    r.args += "NULL";
    return;
  }
  r.args += '"';
  appendEscaped(r.args, s);
  r.args += '"';
}
void readNumber(Record &r, const char *label, unsigned long long v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s%s %llu", r.read.empty() ? "" : ", ", label, v);
  r.read += buf;
}
void readText(Record &r, const char *label, const char *s, std::size_t bound) {
  if (!r.read.empty()) r.read += ", ";
  r.read += label;
  r.read += " \"";
  if (s) appendEscaped(r.read, std::string_view(s, strnlen(s, bound)));
  r.read += '"';
}
void readBytes(Record &r, const void *bytes, std::size_t n) {
  if (!r.read.empty()) r.read += ", ";
  r.read += '"';
  appendEscaped(r.read, std::string_view(static_cast<const char *>(bytes), n));
  r.read += '"';
}

// What each entry point shows. `after` runs only when the real call returned a success or a
// warning, so that nothing is read from an output the VISA did not fill.
template <Entry E>
struct Show;

template <Entry E>
struct ShowSession {  // a call whose arguments are all plain numbers
  template <typename... A>
  static void before(Record &r, A... a) {
    (arg(r, static_cast<unsigned long long>(a)), ...);
  }
  template <typename... A>
  static void after(Record &, A...) {}
};

template <> struct Show<Entry::viOpenDefaultRM> {
  static void before(Record &, ViSession *) {}
  static void after(Record &r, ViSession *rm) {
    if (rm) readNumber(r, "session", *rm);
  }
};
template <> struct Show<Entry::viFindRsrc> {
  static void before(Record &r, ViSession rm, ViConstString expr, ViFindList *, ViUInt32 *, ViChar *) {
    arg(r, rm);
    argText(r, expr);
  }
  static void after(Record &r, ViSession, ViConstString, ViFindList *list, ViUInt32 *count, ViChar *desc) {
    if (count) readNumber(r, "found", *count);
    if (desc) readText(r, "first", desc, kViFindBufLen);
    if (list) readNumber(r, "list", *list);
  }
};
template <> struct Show<Entry::viFindNext> {
  static void before(Record &r, ViFindList list, ViChar *) { arg(r, list); }
  static void after(Record &r, ViFindList, ViChar *desc) {
    if (desc) readText(r, "next", desc, kViFindBufLen);
  }
};
template <> struct Show<Entry::viParseRsrc> {
  static void before(Record &r, ViSession rm, ViConstString name, ViUInt16 *, ViUInt16 *) {
    arg(r, rm);
    argText(r, name);
  }
  static void after(Record &r, ViSession, ViConstString, ViUInt16 *type, ViUInt16 *num) {
    if (type) readNumber(r, "interface type", *type);
    if (num) readNumber(r, "number", *num);
  }
};
template <> struct Show<Entry::viParseRsrcEx> {
  static void before(Record &r, ViSession rm, ViConstString name, ViUInt16 *, ViUInt16 *, ViChar *,
                     ViChar *, ViChar *) {
    arg(r, rm);
    argText(r, name);
  }
  static void after(Record &r, ViSession, ViConstString, ViUInt16 *type, ViUInt16 *num,
                    ViChar *cls, ViChar *expanded, ViChar *alias) {
    if (type) readNumber(r, "interface type", *type);
    if (num) readNumber(r, "number", *num);
    if (cls) readText(r, "class", cls, kViFindBufLen);
    if (expanded) readText(r, "name", expanded, kViFindBufLen);
    if (alias) readText(r, "alias", alias, kViFindBufLen);
  }
};
template <> struct Show<Entry::viOpen> {
  static void before(Record &r, ViSession rm, ViConstString name, ViAccessMode mode, ViUInt32 tmo,
                     ViSession *) {
    arg(r, rm);
    argText(r, name);
    arg(r, mode);
    arg(r, tmo);
  }
  static void after(Record &r, ViSession, ViConstString, ViAccessMode, ViUInt32, ViSession *vi) {
    if (vi) readNumber(r, "session", *vi);
  }
};
template <> struct Show<Entry::viClose> : ShowSession<Entry::viClose> {};
template <> struct Show<Entry::viSetAttribute> {
  static void before(Record &r, ViObject vi, ViAttr attr, ViAttrState value) {
    arg(r, vi);
    argHex(r, attr);
    arg(r, value);
  }
  static void after(Record &, ViObject, ViAttr, ViAttrState) {}
};
// The value's size depends on the attribute: only the request is shown.
template <> struct Show<Entry::viGetAttribute> {
  static void before(Record &r, ViObject vi, ViAttr attr, void *) {
    arg(r, vi);
    argHex(r, attr);
  }
  static void after(Record &, ViObject, ViAttr, void *) {}
};
template <> struct Show<Entry::viStatusDesc> {
  static void before(Record &r, ViObject vi, ViStatus status, ViChar *) {
    arg(r, vi);
    argHex(r, static_cast<ViUInt32>(status));
  }
  static void after(Record &r, ViObject, ViStatus, ViChar *desc) {
    if (desc) readText(r, "description", desc, kViFindBufLen);
  }
};
template <> struct Show<Entry::viLock> {
  static void before(Record &r, ViSession vi, ViAccessMode type, ViUInt32 tmo, ViConstString key, ViChar *) {
    arg(r, vi);
    arg(r, type);
    arg(r, tmo);
    argText(r, key);
  }
  static void after(Record &r, ViSession, ViAccessMode, ViUInt32, ViConstString, ViChar *key) {
    if (key) readText(r, "key", key, kViFindBufLen);
  }
};
template <> struct Show<Entry::viUnlock> : ShowSession<Entry::viUnlock> {};
template <> struct Show<Entry::viEnableEvent> : ShowSession<Entry::viEnableEvent> {};
template <> struct Show<Entry::viDisableEvent> : ShowSession<Entry::viDisableEvent> {};
template <> struct Show<Entry::viDiscardEvents> : ShowSession<Entry::viDiscardEvents> {};
template <> struct Show<Entry::viRead> {
  static void before(Record &r, ViSession vi, ViByte *, ViUInt32 count, ViUInt32 *) {
    r.kind = '<';
    arg(r, vi);
    arg(r, count);
  }
  static void after(Record &r, ViSession, ViByte *buf, ViUInt32 count, ViUInt32 *ret) {
    if (buf && ret) readBytes(r, buf, *ret < count ? *ret : count);
  }
};
template <> struct Show<Entry::viWrite> {
  static void before(Record &r, ViSession vi, const ViByte *buf, ViUInt32 count, ViUInt32 *) {
    r.kind = '>';
    arg(r, vi);
    if (!r.args.empty()) r.args += ", ";
    r.args += '"';
    if (buf) appendEscaped(r.args, std::string_view(reinterpret_cast<const char *>(buf), count));
    r.args += '"';
  }
  static void after(Record &r, ViSession, const ViByte *, ViUInt32, ViUInt32 *ret) {
    if (ret) readNumber(r, "written", *ret);
  }
};
template <> struct Show<Entry::viFlush> : ShowSession<Entry::viFlush> {};
template <> struct Show<Entry::viClear> : ShowSession<Entry::viClear> {};
template <> struct Show<Entry::viReadSTB> {
  static void before(Record &r, ViSession vi, ViUInt16 *) { arg(r, vi); }
  static void after(Record &r, ViSession, ViUInt16 *stb) {
    if (stb) readNumber(r, "status byte", *stb);
  }
};

// The formatted calls read their own copy of the va_list; the caller's goes to VISA untouched.
template <> struct Show<Entry::viVPrintf> {
  static void before(Record &r, ViSession vi, ViConstString fmt, va_list params) {
    r.kind = '>';
    arg(r, vi);
    argText(r, fmt);
    va_list copy;
    va_copy(copy, params);
    if (!appendWriteArgs(r.args, fmt, copy)) r.args += ", ...";
    va_end(copy);
  }
  static void after(Record &, ViSession, ViConstString, va_list) {}
};
template <> struct Show<Entry::viVScanf> {
  static void before(Record &r, ViSession vi, ViConstString fmt, va_list params) {
    r.kind = '<';
    arg(r, vi);
    argText(r, fmt);
    va_list copy;
    va_copy(copy, params);
    r.reads = planReads(fmt, copy);
    r.planned = true;
    va_end(copy);
  }
  static void after(Record &r, ViSession, ViConstString, va_list) { appendReads(r.read, r.reads); }
};
template <> struct Show<Entry::viVQueryf> {
  static void before(Record &r, ViSession vi, ViConstString writeFmt, ViConstString readFmt,
                     va_list params) {
    r.kind = '<';
    arg(r, vi);
    argText(r, writeFmt);
    argText(r, readFmt);
    va_list copy;
    va_copy(copy, params);
    if (appendWriteArgs(r.args, writeFmt, copy)) {
      r.reads = planReads(readFmt, copy);
      r.planned = true;
    } else {
      r.args += ", ...";
    }
    va_end(copy);
  }
  static void after(Record &r, ViSession, ViConstString, ViConstString, va_list) {
    if (r.planned) appendReads(r.read, r.reads);
  }
};

// Forwards one call and writes its record.
template <Entry E, typename Fn, typename... A>
ViStatus traced(const char *name, A... a) {
  RealVisa &visa = real();
  Record r;
  Show<E>::before(r, a...);
  ViStatus status;
  double start = RealVisa::now();
  double end = start;
  if (!visa.loaded()) {
    status = kViErrorLibraryNfound;
  } else if (void *p = visa.entry(E)) {
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<std::uintptr_t>(p));
    status = fn(a...);
    end = RealVisa::now();
    if (status >= kViSuccess) Show<E>::after(r, a...);
  } else {
    status = kViErrorNsupOper;  // the real VISA lacks this entry point
  }

  Sink &out = sink();
  std::string line;
  line.reserve(96 + r.args.size() + r.read.size());
  appendPrefix(line, out.seconds(start), r.kind);
  line += name;
  line += '(';
  line += r.args;
  line += ')';
  if (!r.read.empty()) {
    line += r.kind == '<' ? " read " : " gives ";
    line += r.read;
  }
  line += " -> ";
  appendStatus(line, status);
  char took[32];
  std::snprintf(took, sizeof took, " %.1f us", (end - start) * 1e6);
  line += took;
  out.write(line);
  return status;
}

}  // namespace
}  // namespace zolvane_trace

extern "C" {

// Present in every copy of the trace, so that one trace never takes another for the real VISA.
ZV_TRACE_EXPORT extern const char zolvane_trace_identity[];
const char zolvane_trace_identity[] = "Zolvane trace VISA";

#define ZV_TRACE_ENTRY(name, params, args)                                               \
  ZV_TRACE_EXPORT ViStatus ZV_VI_FUNC name params {                                      \
    return zolvane_trace::traced<zolvane_trace::Entry::name, decltype(&name)>(#name,     \
                                                                              ZV_UNPACK args); \
  }
#define ZV_TRACE_VARIADIC(name, params, last, vname, args)                                 \
  ZV_TRACE_EXPORT ViStatus ZV_VI_FUNCC name(ZV_UNPACK params, ...) {                       \
    va_list ap;                                                                            \
    va_start(ap, last);                                                                    \
    ViStatus s = zolvane_trace::traced<zolvane_trace::Entry::vname, decltype(&vname)>(     \
        #name, ZV_UNPACK args, ap);                                                        \
    va_end(ap);                                                                            \
    return s;                                                                              \
  }

ZV_VISA_ENTRY_POINTS(ZV_TRACE_ENTRY, ZV_TRACE_VARIADIC)

}  // extern "C"
