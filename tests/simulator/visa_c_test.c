/* The simulated test set as a C program written against the VISA standard uses it: every entry
 * point, in the standard's calling sequence, linked against the built library. */
#define _POSIX_C_SOURCE 199309L
#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#if defined(_WIN32)
#include <windows.h>
#endif

#include "visa_c.h"

static int failures;

#define CHECK(cond)                                                     \
  do {                                                                  \
    if (!(cond)) {                                                      \
      ++failures;                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                   \
  } while (0)
#define EXPECT(call, status) expect((call), (status), #call, __LINE__)

static void expect(ViStatus got, ViStatus want, const char *what, int line) {
  if (got != want) {
    ++failures;
    fprintf(stderr, "%s:%d: %s gave 0x%08X, wanted 0x%08X\n", __FILE__, line, what,
            (unsigned)got, (unsigned)want);
  }
}

static double seconds(void) {
#if defined(_WIN32)
  return (double)GetTickCount64() * 1e-3;
#else
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
#endif
}

static ViStatus vprintfTo(ViSession vi, ViConstString fmt, ...) {
  va_list ap;
  ViStatus s;
  va_start(ap, fmt);
  s = viVPrintf(vi, fmt, ap);
  va_end(ap);
  return s;
}

static ViStatus vscanfFrom(ViSession vi, ViConstString fmt, ...) {
  va_list ap;
  ViStatus s;
  va_start(ap, fmt);
  s = viVScanf(vi, fmt, ap);
  va_end(ap);
  return s;
}

static ViStatus vqueryfOn(ViSession vi, ViConstString writeFmt, ViConstString readFmt, ...) {
  va_list ap;
  ViStatus s;
  va_start(ap, readFmt);
  s = viVQueryf(vi, writeFmt, readFmt, ap);
  va_end(ap);
  return s;
}

static ViStatus writeText(ViSession vi, const char *text) {
  ViUInt32 n = 0;
  ViStatus s = viWrite(vi, (const ViByte *)text, (ViUInt32)strlen(text), &n);
  if (s == VI_SUCCESS) CHECK(n == strlen(text));
  return s;
}

/* One raw read into a buffer of `size` bytes, as text. */
static ViStatus readText(ViSession vi, char *buf, ViUInt32 size) {
  ViUInt32 n = 0;
  ViStatus s = viRead(vi, (ViByte *)buf, size, &n);
  buf[n] = '\0';
  return s;
}

static void findAndParse(ViSession rm) {
  static const struct {
    const char *expr;
    ViStatus status;
  } finds[] = {
      {"?*::INSTR", VI_SUCCESS},        {"GPIB?*", VI_SUCCESS},
      {"?*", VI_SUCCESS},               {"gpib0::14::instr", VI_SUCCESS},
      {"(ASRL|GPIB)?*INSTR", VI_SUCCESS}, {"GPIB[0-9]::1[0-4]+::?*", VI_SUCCESS},
      {"TCPIP?*", VI_ERROR_RSRC_NFOUND}, {"GPIB[^0]?*", VI_ERROR_RSRC_NFOUND},
      {"?*::SOCKET", VI_ERROR_RSRC_NFOUND}, {"*", VI_ERROR_INV_EXPR},
      {"GPIB(?*", VI_ERROR_INV_EXPR},  {"?*{VI_ATTR_INTF_NUM==0}", VI_ERROR_INV_EXPR},
  };
  static const struct {
    const char *name;
    ViStatus status;
    ViUInt16 board;
    const char *expanded;
  } parses[] = {
      {"GPIB0::14::INSTR", VI_SUCCESS, 0, "GPIB0::14::INSTR"},
      {"gpib::5", VI_SUCCESS, 0, "GPIB0::5::INSTR"},
      {"GPIB0::14::0::INSTR", VI_SUCCESS, 0, "GPIB0::14::0::INSTR"},
      {"GPIB1::14::INSTR", VI_ERROR_RSRC_NFOUND, 0, ""},
      {"TCPIP0::1.2.3.4::INSTR", VI_ERROR_RSRC_NFOUND, 0, ""},
      {"GPIB0::31::INSTR", VI_ERROR_INV_RSRC_NAME, 0, ""},
      {"nonsense", VI_ERROR_INV_RSRC_NAME, 0, ""},
  };
  size_t i;
  for (i = 0; i < sizeof finds / sizeof finds[0]; ++i) {
    ViFindList list = 0;
    ViUInt32 count = 7;
    char desc[256] = "";
    ViStatus s = viFindRsrc(rm, finds[i].expr, &list, &count, desc);
    if (s != finds[i].status)
      fprintf(stderr, "viFindRsrc \"%s\": 0x%08X\n", finds[i].expr, (unsigned)s);
    EXPECT(s, finds[i].status);
    if (s != VI_SUCCESS) {
      CHECK(count == 0 && list == 0);
      continue;
    }
    CHECK(count == 1);
    CHECK(strcmp(desc, "GPIB0::14::INSTR") == 0);
    EXPECT(viFindNext(list, desc), VI_ERROR_RSRC_NFOUND);
    EXPECT(viClose(list), VI_SUCCESS);
    EXPECT(viFindNext(list, desc), VI_ERROR_INV_OBJECT);
  }
  for (i = 0; i < sizeof parses / sizeof parses[0]; ++i) {
    ViUInt16 type = 0, board = 9;
    char cls[256] = "", expanded[256] = "", alias[256] = "x";
    EXPECT(viParseRsrcEx(rm, parses[i].name, &type, &board, cls, expanded, alias),
           parses[i].status);
    EXPECT(viParseRsrc(rm, parses[i].name, &type, &board), parses[i].status);
    if (parses[i].status != VI_SUCCESS) continue;
    CHECK(type == 1 && board == parses[i].board);
    CHECK(strcmp(cls, "INSTR") == 0 && strcmp(alias, "") == 0);
    CHECK(strcmp(expanded, parses[i].expanded) == 0);
  }
}

static void attributes(ViSession rm, ViSession vi) {
  static const struct {
    ViAttr attr;
    ViAttrState value;
    ViStatus status;
  } sets[] = {
      {VI_ATTR_TMO_VALUE, 400, VI_SUCCESS},     {VI_ATTR_TERMCHAR, '\n', VI_SUCCESS},
      {VI_ATTR_TERMCHAR, 256, VI_ERROR_NSUP_ATTR_STATE},
      {VI_ATTR_TERMCHAR_EN, 2, VI_ERROR_NSUP_ATTR_STATE},
      {VI_ATTR_SEND_END_EN, 1, VI_SUCCESS},     {VI_ATTR_RSRC_NAME, 0, VI_ERROR_ATTR_READONLY},
      {VI_ATTR_GPIB_PRIMARY_ADDR, 3, VI_ERROR_ATTR_READONLY}, {0x3FFF0FFFu, 0, VI_ERROR_NSUP_ATTR},
  };
  size_t i;
  ViUInt32 tmo = 0;
  ViUInt16 u16 = 0;
  ViUInt8 u8 = 0;
  char text[256];
  for (i = 0; i < sizeof sets / sizeof sets[0]; ++i)
    EXPECT(viSetAttribute(vi, sets[i].attr, sets[i].value), sets[i].status);
  EXPECT(viGetAttribute(vi, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
  CHECK(tmo == 400);
  EXPECT(viGetAttribute(vi, VI_ATTR_TERMCHAR, &u8), VI_SUCCESS);
  CHECK(u8 == '\n');
  EXPECT(viGetAttribute(vi, VI_ATTR_TERMCHAR_EN, &u16), VI_SUCCESS);
  CHECK(u16 == 0);
  EXPECT(viGetAttribute(vi, VI_ATTR_SEND_END_EN, &u16), VI_SUCCESS);
  CHECK(u16 == 1);
  EXPECT(viGetAttribute(vi, VI_ATTR_INTF_TYPE, &u16), VI_SUCCESS);
  CHECK(u16 == 1);
  EXPECT(viGetAttribute(vi, VI_ATTR_GPIB_PRIMARY_ADDR, &u16), VI_SUCCESS);
  CHECK(u16 == 14);
  EXPECT(viGetAttribute(vi, VI_ATTR_RSRC_CLASS, text), VI_SUCCESS);
  CHECK(strcmp(text, "INSTR") == 0);
  EXPECT(viGetAttribute(vi, VI_ATTR_RSRC_NAME, text), VI_SUCCESS);
  CHECK(strcmp(text, "GPIB0::14::INSTR") == 0);
  EXPECT(viGetAttribute(rm, VI_ATTR_RSRC_MANF_NAME, text), VI_SUCCESS);
  CHECK(strcmp(text, "Zolvane") == 0);
  EXPECT(viGetAttribute(rm, VI_ATTR_TMO_VALUE, &tmo), VI_ERROR_NSUP_ATTR);
  EXPECT(viGetAttribute(vi, 0x3FFF0FFFu, &tmo), VI_ERROR_NSUP_ATTR);
}

static void rawIo(ViSession vi) {
  char buf[128];
  ViUInt16 stb = 0;
  double start;
  EXPECT(writeText(vi, "*IDN?\n"), VI_SUCCESS);
  EXPECT(viReadSTB(vi, &stb), VI_SUCCESS);
  CHECK(stb & 0x10); /* MAV: an answer waits */
  /* A buffer smaller than the answer takes its first part; the rest comes next, with END. */
  EXPECT(readText(vi, buf, 10), VI_SUCCESS_MAX_CNT);
  CHECK(strcmp(buf, "Zolvane,Si") == 0);
  EXPECT(viReadSTB(vi, &stb), VI_SUCCESS);
  CHECK(stb & 0x10);
  EXPECT(readText(vi, buf, sizeof buf - 1), VI_SUCCESS);
  CHECK(strncmp(buf, "mulated CDMA2000 Test Set,0,", 28) == 0 && buf[strlen(buf) - 1] == '\n');
  EXPECT(viReadSTB(vi, &stb), VI_SUCCESS);
  CHECK(!(stb & 0x10));
  /* Nothing to answer: the read waits the session's time-out (400 ms), no more. */
  start = seconds();
  EXPECT(readText(vi, buf, sizeof buf - 1), VI_ERROR_TMO);
  CHECK(seconds() - start >= 0.4 && seconds() - start < 0.5);
  /* The termination character ends a read when enabled. */
  EXPECT(viSetAttribute(vi, VI_ATTR_TERMCHAR, ','), VI_SUCCESS);
  EXPECT(viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, 1), VI_SUCCESS);
  EXPECT(writeText(vi, "*IDN?\n"), VI_SUCCESS);
  EXPECT(readText(vi, buf, sizeof buf - 1), VI_SUCCESS_TERM_CHAR);
  CHECK(strcmp(buf, "Zolvane,") == 0);
  EXPECT(viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, 0), VI_SUCCESS);
  /* A new command throws the unread rest away, and the instrument says so. */
  EXPECT(writeText(vi, "CALL:NID 3\n"), VI_SUCCESS);
  EXPECT(writeText(vi, "SYST:ERR?\n"), VI_SUCCESS);
  EXPECT(readText(vi, buf, sizeof buf - 1), VI_SUCCESS);
  CHECK(strncmp(buf, "-410,", 5) == 0);
  /* Without END a message waits for its line feed. */
  EXPECT(viSetAttribute(vi, VI_ATTR_SEND_END_EN, 0), VI_SUCCESS);
  EXPECT(writeText(vi, "CALL:SID 7"), VI_SUCCESS);
  EXPECT(writeText(vi, "7\nCALL:SID?"), VI_SUCCESS);
  EXPECT(viSetAttribute(vi, VI_ATTR_SEND_END_EN, 1), VI_SUCCESS);
  EXPECT(writeText(vi, ""), VI_SUCCESS);
  EXPECT(readText(vi, buf, sizeof buf - 1), VI_SUCCESS);
  CHECK(strcmp(buf, "77\n") == 0);
  /* Device clear empties the output queue. */
  EXPECT(writeText(vi, "*IDN?\n"), VI_SUCCESS);
  EXPECT(viClear(vi), VI_SUCCESS);
  EXPECT(viReadSTB(vi, &stb), VI_SUCCESS);
  CHECK(!(stb & 0x10));
  EXPECT(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 0), VI_SUCCESS);
  EXPECT(readText(vi, buf, sizeof buf - 1), VI_ERROR_TMO);
  EXPECT(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 2000), VI_SUCCESS);
}

static void formattedIo(ViSession vi) {
  static const struct {
    const char *query;
    const char *answer;
  } common[] = {
      {"*OPC?", "1"}, {"*ESR?", "32"}, {"*ESR?", "0"}, {"*STB?", "4"}, {"CALL:POW?", "-71.25"},
  };
  char buf[256];
  size_t i;
  EXPECT(viPrintf(vi, "*CLS\nCALL:POW %s\n", "-71.25"), VI_SUCCESS);
  EXPECT(vprintfTo(vi, "FOO\n*WAI\n"), VI_SUCCESS); /* -113: a command error in *ESR? */
  for (i = 0; i < sizeof common / sizeof common[0]; ++i) {
    buf[0] = '\0';
    EXPECT(viQueryf(vi, "%s\n", "%255s", common[i].query, buf), VI_SUCCESS);
    if (strcmp(buf, common[i].answer) != 0)
      fprintf(stderr, "%s answered \"%s\"\n", common[i].query, buf);
    CHECK(strcmp(buf, common[i].answer) == 0);
  }
  EXPECT(vqueryfOn(vi, "*IDN?\n", "%s", buf), VI_SUCCESS);
  CHECK(strcmp(buf, "Zolvane,Simulated") == 0);
  EXPECT(viPrintf(vi, "SYST:ERR?\n"), VI_SUCCESS);
  EXPECT(viScanf(vi, "%255s", buf), VI_SUCCESS);
  CHECK(strcmp(buf, "-113,\"Undefined") == 0);
  EXPECT(viPrintf(vi, "CALL:SID?\n"), VI_SUCCESS);
  EXPECT(vscanfFrom(vi, "%s", buf), VI_SUCCESS);
  CHECK(strcmp(buf, "77") == 0);
  EXPECT(viScanf(vi, "%d", buf), VI_ERROR_NSUP_FMT);
  /* A format without a line feed waits in the write buffer until a flush sends it. */
  EXPECT(viPrintf(vi, "CALL:SID %d", 5), VI_SUCCESS);
  EXPECT(viFlush(vi, VI_WRITE_BUF), VI_SUCCESS);
  EXPECT(viQueryf(vi, "CALL:SID?\n", "%s", buf), VI_SUCCESS);
  CHECK(strcmp(buf, "5") == 0);
  EXPECT(viFlush(vi, 0), VI_ERROR_INV_MASK);
  EXPECT(viFlush(vi, VI_READ_BUF | VI_READ_BUF_DISCARD), VI_ERROR_INV_MASK);
  EXPECT(viFlush(vi, VI_READ_BUF), VI_SUCCESS);
}

static void locksAndEvents(ViSession rm, ViSession vi) {
  ViSession other = 0;
  char key[256] = "";
  EXPECT(viOpen(rm, "GPIB0::14::INSTR", VI_NO_LOCK, 0, &other), VI_SUCCESS);
  EXPECT(viLock(vi, VI_EXCLUSIVE_LOCK, 0, NULL, NULL), VI_SUCCESS);
  EXPECT(viLock(vi, VI_EXCLUSIVE_LOCK, 0, NULL, NULL), VI_SUCCESS_NESTED_EXCLUSIVE);
  EXPECT(writeText(other, "*CLS\n"), VI_ERROR_RSRC_LOCKED);
  EXPECT(viLock(other, VI_EXCLUSIVE_LOCK, 10, NULL, NULL), VI_ERROR_TMO);
  EXPECT(viLock(other, 3, 0, NULL, NULL), VI_ERROR_INV_LOCK_TYPE);
  EXPECT(viUnlock(vi), VI_SUCCESS_NESTED_EXCLUSIVE);
  EXPECT(viUnlock(vi), VI_SUCCESS);
  EXPECT(viUnlock(vi), VI_ERROR_SESN_NLOCKED);
  EXPECT(writeText(other, "*CLS\n"), VI_SUCCESS);
  EXPECT(viLock(other, VI_SHARED_LOCK, 0, "bench 3", key), VI_SUCCESS);
  CHECK(strcmp(key, "bench 3") == 0);
  EXPECT(viUnlock(other), VI_SUCCESS);
  EXPECT(viClose(other), VI_SUCCESS);
  /* The simulated test set raises no events: none can be enabled, so none is ever queued. */
  EXPECT(viEnableEvent(vi, VI_EVENT_SERVICE_REQ, VI_QUEUE, 0), VI_ERROR_INV_EVENT);
  EXPECT(viDisableEvent(vi, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH), VI_SUCCESS_EVENT_DIS);
  EXPECT(viDiscardEvents(vi, VI_ALL_ENABLED_EVENTS, VI_ALL_MECH), VI_SUCCESS_QUEUE_EMPTY);
  EXPECT(viDiscardEvents(vi, 0x12345u, VI_QUEUE), VI_ERROR_INV_EVENT);
  EXPECT(viDisableEvent(vi, VI_EVENT_SERVICE_REQ, 8), VI_ERROR_INV_MECH);
}

static void statusTexts(void) {
  /* Every status this test met has a description of its own. */
  static const ViStatus statuses[] = {
      VI_SUCCESS, VI_SUCCESS_EVENT_DIS, VI_SUCCESS_QUEUE_EMPTY, VI_SUCCESS_TERM_CHAR,
      VI_SUCCESS_MAX_CNT, VI_WARN_NULL_OBJECT, VI_SUCCESS_NESTED_SHARED,
      VI_SUCCESS_NESTED_EXCLUSIVE, VI_ERROR_INV_OBJECT, VI_ERROR_RSRC_LOCKED, VI_ERROR_INV_EXPR,
      VI_ERROR_RSRC_NFOUND, VI_ERROR_INV_RSRC_NAME, VI_ERROR_TMO, VI_ERROR_NSUP_ATTR,
      VI_ERROR_NSUP_ATTR_STATE, VI_ERROR_ATTR_READONLY, VI_ERROR_INV_LOCK_TYPE,
      VI_ERROR_INV_EVENT, VI_ERROR_INV_MECH, VI_ERROR_INV_MASK, VI_ERROR_NSUP_FMT,
      VI_ERROR_USER_BUF, VI_ERROR_SESN_NLOCKED,
  };
  size_t i;
  char desc[256], first[256] = "";
  for (i = 0; i < sizeof statuses / sizeof statuses[0]; ++i) {
    desc[0] = '\0';
    EXPECT(viStatusDesc(0, statuses[i], desc), VI_SUCCESS);
    CHECK(strlen(desc) > 10 && strcmp(desc, first) != 0);
    if (i == 0) strcpy(first, desc);
  }
  EXPECT(viStatusDesc(0, 0x12345, desc), VI_WARN_UNKNOWN_STATUS);
  CHECK(strstr(desc, "Unknown") != NULL);
}

int main(void) {
  ViSession rm = 0, vi = 0;
  char buf[64];
  setlocale(LC_ALL, "");
  EXPECT(viOpenDefaultRM(&rm), VI_SUCCESS);
  findAndParse(rm);
  EXPECT(viOpen(rm, "GPIB0::15::INSTR", VI_NO_LOCK, 0, &vi), VI_ERROR_RSRC_NFOUND);
  EXPECT(viOpen(rm, "GPIB0::14::INSTR", VI_NO_LOCK, 0, &vi), VI_SUCCESS);
  attributes(rm, vi);
  rawIo(vi);
  formattedIo(vi);
  locksAndEvents(rm, vi);
  statusTexts();
  EXPECT(viClose(rm), VI_SUCCESS);
  /* Closing the resource manager closed the instrument session with it. */
  EXPECT(writeText(vi, "*CLS\n"), VI_ERROR_INV_OBJECT);
  EXPECT(readText(vi, buf, sizeof buf - 1), VI_ERROR_INV_OBJECT);
  EXPECT(viClose(vi), VI_ERROR_INV_OBJECT);
  EXPECT(viClose(0), VI_WARN_NULL_OBJECT);
  if (failures) fprintf(stderr, "%d failures\n", failures);
  else printf("all entry points behaved as the standard says\n");
  return failures ? 1 : 0;
}
