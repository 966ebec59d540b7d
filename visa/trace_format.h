// The line format of the trace VISA, with the simulated test set's timestamp and kinds:
//
//   [    2.000853] > CALL:CONN:STAT?
//
// seconds since the trace started, a kind ('>' bytes written, '<' bytes read, '=' a session
// event, '!' a failure, '*' the instrument's own event, '#' a note), and text in which every
// byte outside printable ASCII is escaped, so that one record is always one line.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "visa_types.h"

namespace zolvane::trace_format {

inline void appendEscaped(std::string &out, std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else out += ch;
  }
}

// "[    2.000853] > "
inline void appendPrefix(std::string &out, double seconds, char kind) {
  char head[48];
  int n = std::snprintf(head, sizeof head, "[%12.6f] %c ", seconds, kind);
  if (n > 0) out.append(head, static_cast<std::size_t>(n) < sizeof head ? static_cast<std::size_t>(n) : sizeof head - 1);
}

struct StatusName {
  ViStatus code;
  const char *name;
};

inline constexpr StatusName kStatusNames[] = {
    {kViSuccess, "VI_SUCCESS"},
    {kViSuccessEventDis, "VI_SUCCESS_EVENT_DIS"},
    {kViSuccessQueueEmpty, "VI_SUCCESS_QUEUE_EMPTY"},
    {kViSuccessTermChar, "VI_SUCCESS_TERM_CHAR"},
    {kViSuccessMaxCnt, "VI_SUCCESS_MAX_CNT"},
    {kViWarnNullObjectStatus, "VI_WARN_NULL_OBJECT"},
    {kViWarnUnknownStatus, "VI_WARN_UNKNOWN_STATUS"},
    {kViSuccessNestedExclusive, "VI_SUCCESS_NESTED_EXCLUSIVE"},
    {kViSuccessNestedShared, "VI_SUCCESS_NESTED_SHARED"},
    {kViErrorSystemError, "VI_ERROR_SYSTEM_ERROR"},
    {kViErrorInvObject, "VI_ERROR_INV_OBJECT"},
    {kViErrorRsrcLocked, "VI_ERROR_RSRC_LOCKED"},
    {kViErrorInvExpr, "VI_ERROR_INV_EXPR"},
    {kViErrorRsrcNfound, "VI_ERROR_RSRC_NFOUND"},
    {kViErrorInvRsrcName, "VI_ERROR_INV_RSRC_NAME"},
    {kViErrorInvAccessMode, "VI_ERROR_INV_ACC_MODE"},
    {kViErrorTmo, "VI_ERROR_TMO"},
    {kViErrorNsupAttribute, "VI_ERROR_NSUP_ATTR"},
    {kViErrorNsupAttrState, "VI_ERROR_NSUP_ATTR_STATE"},
    {kViErrorAttrReadonly, "VI_ERROR_ATTR_READONLY"},
    {kViErrorInvLockType, "VI_ERROR_INV_LOCK_TYPE"},
    {kViErrorInvEvent, "VI_ERROR_INV_EVENT"},
    {kViErrorInvMech, "VI_ERROR_INV_MECH"},
    {kViErrorInvMask, "VI_ERROR_INV_MASK"},
    {kViErrorIo, "VI_ERROR_IO"},
    {kViErrorInvFmt, "VI_ERROR_INV_FMT"},
    {kViErrorNsupFmt, "VI_ERROR_NSUP_FMT"},
    {kViErrorNsupOper, "VI_ERROR_NSUP_OPER"},
    {kViErrorUserBuf, "VI_ERROR_USER_BUF"},
    {kViErrorInvParameter, "VI_ERROR_INV_PARAMETER"},
    {kViErrorSesnNlocked, "VI_ERROR_SESN_NLOCKED"},
    {kViErrorLibraryNfound, "VI_ERROR_LIBRARY_NFOUND"},
};

// "VI_ERROR_TMO (0xBFFF0015)"; a code without a name is shown by its value alone.
inline void appendStatus(std::string &out, ViStatus status) {
  for (const StatusName &s : kStatusNames) {
    if (s.code == status) {
      out += s.name;
      out += ' ';
      break;
    }
  }
  char code[16];
  std::snprintf(code, sizeof code, "(0x%08X)", static_cast<unsigned>(status));
  out += code;
}

}  // namespace zolvane::trace_format
