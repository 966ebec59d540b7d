// A strict VISA test double. Built as a shared library that exports the standard VISA entry
// points (viOpenDefaultRM, viOpen, viSetAttribute, viClose, viPrintf, viQueryf) and this control
// interface. The tests link it directly for control and put it on the loader path under every
// name the library's binding tries, so the real libZolvane binds this very instance.
//
// What it does:
// - records every VISA call with its arguments, its status and a steady-clock timestamp;
// - formats writes itself, %f/%e/%g by the process locale like a worst-case VISA, and notes
//   whether a message ended with a line feed of the format string (END and flush) or carried a
//   line feed that came through an argument (plain data: no END);
// - answers queries from a script: answers per query text, in order, the last one repeating;
//   a query with no scripted answer fails with VI_ERROR_TMO, as an instrument that stays silent;
// - honours read widths ("%s", "%Ns", "%#s"); any other read format gets VI_ERROR_NSUP_FMT;
//   each query starts on a fresh answer (what a read left of the last one is discarded);
// - fails any chosen call, by position or by text and occurrence, with any status; a failed
//   call does nothing else (no session opened or closed, nothing written, nothing stored);
// - answers VI_ERROR_INV_OBJECT to any call on an unknown or closed session, session 0 included.
//   Closing a resource manager closes every session opened through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "session/visa_api.h"

#if defined(_WIN32)
#define VD_API __declspec(dllexport)
#else
#define VD_API __attribute__((visibility("default")))
#endif

namespace visa_double {

enum class Fn { OpenDefaultRM, Open, SetAttribute, Close, Printf, Queryf };
// What the session argument named when the call was made.
enum class SessionKind { None, ResourceManager, Instrument, Unknown };

struct Event {
  Fn fn = Fn::Printf;
  ViSession session = 0;    // the session argument (0 for viOpenDefaultRM)
  SessionKind sessionKind = SessionKind::None;
  ViStatus status = 0;      // what the call returned
  std::string text;         // viOpen: the resource name; viPrintf/viQueryf: the formatted write
  std::string format;       // viPrintf/viQueryf: the write format as passed
  std::string readFormat;   // viQueryf: the read format as passed
  std::string answer;       // viQueryf: the scripted answer (raw bytes, may hold NULs)
  std::string stored;       // viQueryf: the text the read stored (up to its NUL)
  ViAttr attr = 0;          // viSetAttribute
  std::uint64_t attrValue = 0;
  ViAccessMode accessMode = 0;  // viOpen
  ViUInt32 openTimeout = 0;     // viOpen
  ViSession outSession = 0;     // viOpenDefaultRM/viOpen: what was written to the out-parameter
  bool endsWithFormatNewline = false;  // the message ended with a "\n" of the format string
  bool newlineFromArgument = false;    // a "\n" reached the message through an argument
  std::int64_t tNs = 0;                // steady_clock at entry, nanoseconds
};

// Forget everything: sessions (without closing them), log, script, faults.
VD_API void reset();
// Start a new script: clear the log, the answers, the faults and the occurrence counts, but keep
// the open sessions.
VD_API void restart();
VD_API std::vector<Event> events();

// Append an answer for a query whose formatted write equals `query` exactly ("FETC:DAP?\n").
VD_API void answer(std::string_view query, std::string_view answer);
// The call at this 0-based position in the log (counted since reset/restart) returns `status`.
VD_API void failAt(std::size_t position, ViStatus status);
// The `nth` (1-based, counted since reset/restart) call whose text equals `text` returns
// `status`. The text of viPrintf/viQueryf is the formatted write, of viOpen the resource name,
// of the others the function's name: "viOpenDefaultRM", "viSetAttribute", "viClose".
VD_API void failOn(std::string_view text, unsigned nth, ViStatus status);
// What a failed viOpen writes to its out-parameter (0 unless set).
VD_API void setFailedOpenOut(ViSession value);

VD_API std::size_t openResourceManagers();
VD_API std::size_t openSessions();  // instrument sessions

// Renders an event as one line for transcripts and failure messages, e.g.
//   write "CALL:POW -55.50DBM\n"
//   query "FETC:DAP?\n" -> "0,2.312E+01"
//   query "FETC:DAP?\n" failed -1073807339
//   openDefaultRM | open "GPIB0::5::INSTR" mode 0 timeout 0 | setAttribute 0x3FFF001A 20000
//   close rm | close instr | close unknown
// (any call that returned nonzero ends with " failed <status>"; a query's answer is shown only
// when it succeeded, as the text it stored).
VD_API std::string describe(const Event &e);
// Escapes control and non-ASCII bytes as \n, \r, \t, \xNN, and quotes.
VD_API std::string quoted(std::string_view bytes);

}  // namespace visa_double
