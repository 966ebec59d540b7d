// The VISA side of the simulator: sessions, the formatted write and read, time-outs and the
// trace, on a clock that jumps instead of sleeping.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "visa_front.h"

namespace zolvane_sim {
namespace {

class FakeClock : public Clock {
 public:
  Seconds now() override { return t; }
  void sleepUntil(Seconds until) override {
    if (until > t) t = until;
  }
  Seconds t = 100.0;
};

ViStatus printfTo(VisaFront &f, ViSession vi, const char *fmt, ...) {
  va_list a;
  va_start(a, fmt);
  ViStatus s = f.vprintf(vi, fmt, a);
  va_end(a);
  return s;
}

ViStatus queryTo(VisaFront &f, ViSession vi, const char *writeFmt, const char *readFmt, ...) {
  va_list a;
  va_start(a, readFmt);
  ViStatus s = f.vqueryf(vi, writeFmt, readFmt, a);
  va_end(a);
  return s;
}

struct Front {
  explicit Front(std::string opts = "noise=0")
      : options(std::move(opts)),
        front([this](Config &c, std::string &e) { return applyOptions(c, options, e); }, clock) {}

  // Opens the resource manager and the test set at its default address with a 20 s time-out.
  void open() {
    ASSERT_EQ(front.openDefaultRM(&rm), kViSuccess);
    ASSERT_EQ(front.open(rm, const_cast<char *>("GPIB0::14::INSTR"), 0, 0, &vi), kViSuccess);
    ASSERT_EQ(front.setAttribute(vi, kViAttrTmoValue, 20000), kViSuccess);
  }

  std::string ask(const char *query) {
    char buf[256] = "untouched";
    ViStatus s = queryTo(front, vi, query, "%255s", buf);
    return s == kViSuccess ? std::string(buf) : "status " + std::to_string(s);
  }

  std::string options;
  FakeClock clock;
  VisaFront front;
  ViSession rm = 0, vi = 0;
};

TEST(SimulatorVisaSessions, OpenAtTheConfiguredAddressOnly) {
  Front f("address=5");
  ViSession rm = 0, vi = 77;
  ASSERT_EQ(f.front.openDefaultRM(&rm), kViSuccess);
  EXPECT_NE(rm, 0U);
  EXPECT_EQ(f.front.open(rm, const_cast<char *>("GPIB0::14::INSTR"), 0, 0, &vi), kViErrorRsrcNfound);
  EXPECT_EQ(vi, 0U);
  EXPECT_EQ(f.front.open(rm, const_cast<char *>("TCPIP0::1.2.3.4::INSTR"), 0, 0, &vi),
            kViErrorRsrcNfound);
  EXPECT_EQ(f.front.open(rm, const_cast<char *>("GPIB0::5::INSTR"), 0, 0, &vi), kViSuccess);
  EXPECT_NE(vi, 0U);
  EXPECT_NE(vi, rm);
  ViSession other = 0;
  EXPECT_EQ(f.front.open(vi, const_cast<char *>("GPIB0::5::INSTR"), 0, 0, &other),
            kViErrorInvObject);  // not a resource manager
}

TEST(SimulatorVisaSessions, ClosedAndUnknownSessionsAreInvalidAndTheRmClosesItsInstruments) {
  Front f;
  f.open();
  EXPECT_EQ(printfTo(f.front, 0, "*CLS\n"), kViErrorInvObject);
  EXPECT_EQ(printfTo(f.front, f.rm, "*CLS\n"), kViErrorInvObject);
  EXPECT_EQ(f.front.close(0), kViWarnNullObject);
  EXPECT_EQ(f.front.close(f.rm), kViSuccess);
  EXPECT_EQ(printfTo(f.front, f.vi, "*CLS\n"), kViErrorInvObject);
  EXPECT_EQ(f.front.close(f.vi), kViErrorInvObject);
  EXPECT_EQ(f.front.setAttribute(f.vi, kViAttrTmoValue, 1000), kViErrorInvObject);
}

TEST(SimulatorVisaSessions, TheInstrumentKeepsItsStateAcrossSessions) {
  Front f;
  f.open();
  ASSERT_EQ(printfTo(f.front, f.vi, "CALL:SID %d\n", 4321), kViSuccess);
  ASSERT_EQ(f.front.close(f.rm), kViSuccess);
  f.open();
  EXPECT_EQ(f.ask("CALL:SID?\n"), "4321");
}

TEST(SimulatorVisaSessions, ABadConfigurationFailsTheResourceManager) {
  Front f("max_power=lots");
  ViSession rm = 5;
  EXPECT_EQ(f.front.openDefaultRM(&rm), kViErrorSystemError);
  EXPECT_EQ(rm, 0U);
  Front g("timeout_on=FETC:NOTHING?");
  EXPECT_EQ(g.front.openDefaultRM(&rm), kViErrorSystemError);
}

TEST(SimulatorVisaWrite, FormatsTheConversionsTheLibraryUses) {
  Front f;
  f.open();
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:POW %sDBM\n", "-65.25"), kViSuccess);
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:SID %d\n", 31000), kViSuccess);
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:NID %ld\n", 65535L), kViSuccess);
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:BAND %s\n", "USPC"), kViSuccess);
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:CHAN %d%%\n", 25), kViSuccess);  // a stray '%'
  const Settings &s = f.front.testSet()->settings();
  EXPECT_DOUBLE_EQ(s.cellPower, -65.25);
  EXPECT_EQ(s.sid, 31000);
  EXPECT_EQ(s.nid, 65535);
  EXPECT_EQ(s.band, "USPC");
  EXPECT_EQ(f.ask("SYST:ERR?\n"), "-104,\"Data");  // "25%" is no number
}

TEST(SimulatorVisaWrite, ALineFeedInTheFormatEndsEachMessage) {
  Front f;
  f.open();
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:SID %d\nCALL:NID %d\n", 11, 12), kViSuccess);
  EXPECT_EQ(f.front.testSet()->settings().sid, 11);
  EXPECT_EQ(f.front.testSet()->settings().nid, 12);
}

// A line feed that comes through an argument is data: nothing is sent until the format has one.
TEST(SimulatorVisaWrite, ALineFeedFromAnArgumentWaitsForOneInTheFormat) {
  Front f;
  f.open();
  EXPECT_EQ(printfTo(f.front, f.vi, "%s", "CALL:SID 21\n"), kViSuccess);
  EXPECT_EQ(f.front.testSet()->settings().sid, 1);
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:NID 22\n"), kViSuccess);
  EXPECT_EQ(f.front.testSet()->settings().sid, 21);
  EXPECT_EQ(f.front.testSet()->settings().nid, 22);
}

TEST(SimulatorVisaWrite, AnUnsupportedConversionSendsNothing) {
  Front f;
  f.open();
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:SID 3\nCALL:NID %b\n", 1), kViErrorNsupFmt);
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:SID %"), kViErrorInvFmt);
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:BAND %s\n", static_cast<const char *>(nullptr)),
            kViErrorUserBuf);
  EXPECT_EQ(f.front.testSet()->settings().sid, 1);
  EXPECT_EQ(f.ask("SYST:ERR?\n"), "+0,\"No");
}

// Fields wider than the old fixed buffer arrive whole; widths too large to format are refused.
TEST(SimulatorVisaWrite, WideFieldsArriveWholeAndHugeOnesAreRefused) {
  struct Case {
    const char *fmt;
    int star;
    ViStatus status;
    int sid;  // CALL:SID afterwards
  };
  for (const Case &c : {Case{"CALL:SID %600d\n", 0, kViSuccess, 7},
                        Case{"CALL:SID %*d\n", -700, kViSuccess, 7},
                        Case{"CALL:SID %.*d\n", -1, kViSuccess, 7},
                        Case{"CALL:SID %70000d\n", 0, kViErrorNsupFmt, 1},
                        Case{"CALL:SID %*d\n", 2000000000, kViErrorNsupFmt, 1},
                        Case{"CALL:SID %.99999999d\n", 0, kViErrorNsupFmt, 1}}) {
    Front f;
    f.open();
    ViStatus s = std::strstr(c.fmt, "*") ? printfTo(f.front, f.vi, c.fmt, c.star, 7)
                                         : printfTo(f.front, f.vi, c.fmt, 7);
    EXPECT_EQ(s, c.status) << c.fmt;
    EXPECT_EQ(f.front.testSet()->settings().sid, c.sid) << c.fmt;
    EXPECT_EQ(f.ask("SYST:ERR?\n"), "+0,\"No") << c.fmt;
  }
}

TEST(SimulatorVisaRead, StoresOneTokenBoundedByTheWidth) {
  Front f("esn=A1B2C3D4E5;reg_delay=0");
  f.open();
  ASSERT_EQ(printfTo(f.front, f.vi, "CALL:REG\n"), kViSuccess);
  char buf[32];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(queryTo(f.front, f.vi, "CALL:MS:REP:ESN?\n", "%s", buf), kViSuccess);
  EXPECT_STREQ(buf, "A1B2C3D4E5");
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(queryTo(f.front, f.vi, "CALL:MS:REP:ESN?\n", "%4s", buf), kViSuccess);
  EXPECT_STREQ(buf, "A1B2");
  EXPECT_EQ(buf[5], 'x');
  ViInt32 size = 6;  // the array size: five characters and the NUL
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(queryTo(f.front, f.vi, "CALL:MS:REP:ESN?\n", "%#s", &size, buf), kViSuccess);
  EXPECT_STREQ(buf, "A1B2C");
  EXPECT_EQ(size, 5);
  // The error text holds a blank: "%s" stops there, and the rest is not left for the next read.
  EXPECT_EQ(f.ask("SYST:ERR?\n"), "+0,\"No");
  EXPECT_EQ(f.ask("CALL:SID?\n"), "1");
}

TEST(SimulatorVisaRead, AnUnsupportedReadFormatSendsNothing) {
  Front f;
  f.open();
  int v = 0;
  EXPECT_EQ(queryTo(f.front, f.vi, "CALL:SID 9;SID?\n", "%d", &v), kViErrorNsupFmt);
  char buf[8];
  ViInt32 zero = 0;
  EXPECT_EQ(queryTo(f.front, f.vi, "CALL:SID 9;SID?\n", "%#s", &zero, buf), kViErrorUserBuf);
  EXPECT_EQ(f.ask("CALL:SID?\n"), "1");
}

TEST(SimulatorVisaTiming, AMeasurementReadWaitsForItsFirstResult) {
  Front f("noise=0;meas_delay=0.4;reg_delay=0;conn_delay=0");
  f.open();
  for (const char *cmd : {"CALL:REG\n", "CALL:ORIG\n", "INIT:DAP\n"})
    ASSERT_EQ(printfTo(f.front, f.vi, cmd), kViSuccess);
  Seconds start = f.clock.t;
  EXPECT_EQ(f.ask("FETC:DAP?\n").substr(0, 2), "0,");
  EXPECT_DOUBLE_EQ(f.clock.t, start + 0.4);
}

TEST(SimulatorVisaTiming, ASlowAnswerPastTheIoTimeOutFailsAtTheTimeOut) {
  Front f("answer_delay=5");
  f.open();
  ASSERT_EQ(f.front.setAttribute(f.vi, kViAttrTmoValue, 1500), kViSuccess);
  Seconds start = f.clock.t;
  EXPECT_EQ(f.ask("*IDN?\n"), "status " + std::to_string(kViErrorTmo));
  EXPECT_DOUBLE_EQ(f.clock.t, start + 1.5);
  // The late answer is thrown away when the next message comes.
  ASSERT_EQ(f.front.setAttribute(f.vi, kViAttrTmoValue, 20000), kViSuccess);
  f.clock.t += 10.0;
  EXPECT_EQ(f.ask("SYST:ERR?\n"), "-410,\"Query");
}

TEST(SimulatorVisaTiming, AnUnansweredQueryTimesOutAfterTheConfiguredWait) {
  Front f("timeout_on=FETC:DAP?;timeout_wait=0.25");
  f.open();
  Seconds start = f.clock.t;
  EXPECT_EQ(f.ask("FETC:DAP?\n"), "status " + std::to_string(kViErrorTmo));
  EXPECT_DOUBLE_EQ(f.clock.t, start + 0.25);
  EXPECT_EQ(f.ask("CALL:CONN:STAT?\n"), "0");  // the instrument goes on answering
  ASSERT_EQ(f.front.setAttribute(f.vi, kViAttrTmoValue, 100), kViSuccess);
  start = f.clock.t;
  EXPECT_EQ(f.ask("FETC:DAP?\n"), "status " + std::to_string(kViErrorTmo));
  EXPECT_DOUBLE_EQ(f.clock.t, start + 0.1);  // never longer than the session's time-out
}

TEST(SimulatorVisaTiming, ARefusedCommandTimesOutTheWrite) {
  Front f("timeout_on=CALL:ORIG");
  f.open();
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:ORIG\n"), kViErrorTmo);
  EXPECT_EQ(printfTo(f.front, f.vi, "CALL:END\n"), kViSuccess);
}

TEST(SimulatorTrace, RecordsTheConversationWithTimestamps) {
  std::string path = ::testing::TempDir() + "zolvane_sim_trace_test.log";
  Front f("reg_delay=0.3;trace=" + path);
  f.open();
  ASSERT_EQ(printfTo(f.front, f.vi, "CALL:REG\n"), kViSuccess);
  f.clock.t += 0.5;
  EXPECT_EQ(f.ask("CALL:MS:REP:ESN?\n"), "A1B2C3D4");
  ASSERT_EQ(printfTo(f.front, f.vi, "FOO\n"), kViSuccess);
  ASSERT_EQ(f.front.close(f.rm), kViSuccess);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string t = text.str();
  EXPECT_EQ(t.rfind("# zolvane-trace 2; Zolvane simulated test set, started ", 0), 0U) << t;
  for (const char *line : {"[  100.000000] = viOpen GPIB0::14::INSTR -> session 2\n",
                           "[  100.000000] = session 2: I/O time-out 20000 ms\n",
                           "[  100.000000] > CALL:REG\n",
                           "[  100.300000] * phone registered, ESN A1B2C3D4\n",
                           "[  100.500000] > CALL:MS:REP:ESN?\n",
                           "[  100.500000] < A1B2C3D4\n",
                           "[  100.500000] * error -113,\"Undefined header\" for \"FOO\"\n",
                           "[  100.500000] = viClose session 1\n"})
    EXPECT_NE(t.find(line), std::string::npos) << line << "in\n" << t;
  // The registration happened before the query that saw it, and is written in that order.
  EXPECT_LT(t.find("phone registered"), t.find("> CALL:MS:REP:ESN?"));
  std::remove(path.c_str());
}

// Search expressions a client may send: each is matched in time linear in its length, or refused.
// The old matcher recursed once per '*' (a stack overflow) and doubled its time with every '+'.
TEST(SimulatorVisaHostile, SearchExpressionsMatchInLinearTimeOrAreRefused) {
  struct Case {
    std::string expr;
    ViStatus status;
  };
  const std::string nest40 = std::string(40, '(') + "?*" + std::string(40, ')');
  const Case cases[] = {
      {"?" + std::string(200000, '*'), kViErrorInvExpr},              // over the length cap
      {"?*" + std::string(kMaxSearchExpression - 1, '*'), kViErrorInvExpr},
      {"?" + std::string(kMaxSearchExpression - 1, '*'), kViSuccess},  // at the cap
      {"?" + std::string(32, '+'), kViSuccess},
      {"?" + std::string(1000, '+'), kViSuccess},
      {"G" + std::string(1000, '+') + "PIB?*", kViSuccess},
      {"((((?*)*)+)*)+", kViSuccess},
      {"(?*|" + std::string(500, '?') + ")*::INSTR", kViSuccess},
      {std::string(300, '?') + "*", kViErrorRsrcNfound},
      {"GPIB0::14::INSTR" + std::string(1000, '+') + "X", kViErrorRsrcNfound},
      {nest40, kViErrorInvExpr},                                      // nested too deep
      {"[" + std::string(3000, 'a'), kViErrorInvExpr},
  };
  Front f;
  f.open();
  auto started = std::chrono::steady_clock::now();
  for (const Case &c : cases) {
    ViFindList list = 0;
    ViUInt32 count = 0;
    char desc[256] = "";
    EXPECT_EQ(f.front.viFindRsrc(f.rm, c.expr.c_str(), &list, &count, desc), c.status)
        << c.expr.substr(0, 60);
    if (c.status == kViSuccess) {
      EXPECT_STREQ(desc, "GPIB0::14::INSTR");
      EXPECT_EQ(f.front.close(list), kViSuccess);
    }
  }
  // Generous: the whole table takes milliseconds; the old matcher took minutes for 32 '+'.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// Writes a client may send: a compound message is parsed in time linear in its length, and one
// over the message limit is refused as the instrument refuses it (-223), through raw and
// formatted writes alike. The test set answers normally afterwards.
TEST(SimulatorVisaHostile, HugeAndCompoundWritesAreBoundedAndRefusedAsTheInstrumentWould) {
  auto repeat = [](const std::string &s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
  };
  auto raw = [](Front &f, const std::string &bytes) {
    ViUInt32 n = 0;
    return f.front.viWrite(f.vi, reinterpret_cast<const ViByte *>(bytes.data()),
                           static_cast<ViUInt32>(bytes.size()), &n);
  };
  struct Case {
    const char *name;
    std::function<ViStatus(Front &)> send;
    const char *firstError;  // SYST:ERR? afterwards, up to the first blank
    const char *power;       // CALL:POW? afterwards
  };
  const Case cases[] = {
      {"a relative header repeated 10,000 times (130 kB)",
       [&](Front &f) { return raw(f, repeat("CALL:POW -70;", 10000) + "CALL:POW -70\n"); },
       "-113,\"Undefined", "-70.00"},
      {"an absolute header repeated 10,000 times",
       [&](Front &f) { return raw(f, repeat(":CALL:POW -71;", 10000) + ":CALL:POW -71\n"); },
       "+0,\"No", "-71.00"},
      {"a header of 300,000 nodes",
       [&](Front &f) { return raw(f, "CALL:POW -72;" + repeat("A:", 300000) + "B\n"); },
       "-113,\"Undefined", "-72.00"},
      {"one message over 1 MB",
       [&](Front &f) { return raw(f, repeat(":CALL:POW -73;", 80000) + "\n"); },
       "-223,\"Too", "-50.00"},
      {"a message over 1 MB in pieces without END",
       [&](Front &f) {
         EXPECT_EQ(f.front.setAttribute(f.vi, kViAttrSendEndEn, 0), kViSuccess);
         for (int i = 0; i < 40; ++i)
           if (ViStatus s = raw(f, repeat(":CALL:POW -74;", 2000))) return s;
         return raw(f, "\n");
       },
       "-223,\"Too", "-50.00"},
      {"viPrintf without a line feed past 1 MB",
       [&](Front &f) {
         std::string chunk = repeat(":CALL:POW -75;", 2000);
         for (int i = 0; i < 40; ++i)
           if (ViStatus s = printfTo(f.front, f.vi, "%s", chunk.c_str())) return s;
         return printfTo(f.front, f.vi, "\n");
       },
       "-223,\"Too", "-50.00"},
      {"viPrintf pieces past the write buffer, then viFlush",
       [&](Front &f) {
         std::string chunk = repeat(":CALL:POW -76;", 300);
         for (int i = 0; i < 10; ++i)
           if (ViStatus s = printfTo(f.front, f.vi, "%s", chunk.c_str())) return s;
         if (ViStatus s = printfTo(f.front, f.vi, ":CALL:POW -76")) return s;
         return f.front.viFlush(f.vi, kViWriteBuf);
       },
       "+0,\"No", "-76.00"},
  };
  for (const Case &c : cases) {
    Front f;
    f.open();
    EXPECT_EQ(c.send(f), kViSuccess) << c.name;
    EXPECT_EQ(f.front.setAttribute(f.vi, kViAttrSendEndEn, 1), kViSuccess);
    EXPECT_EQ(f.ask("SYST:ERR?\n"), c.firstError) << c.name;
    EXPECT_EQ(f.ask("CALL:POW?\n"), c.power) << c.name;
    ViUInt32 size = 0;
    EXPECT_EQ(f.front.viGetAttribute(f.vi, kViAttrWrBufSize, &size), kViSuccess);
    EXPECT_EQ(size, kWriteBufSize);
  }
}

// viOpen and viParseRsrc read a name the same way.
TEST(SimulatorVisaSessions, OpenAndParseAgreeOnEveryName) {
  struct Case {
    const char *name;
    ViStatus parse, open;
  };
  const Case cases[] = {
      {"GPIB0::14::INSTR", kViSuccess, kViSuccess},
      {"gpib::14", kViSuccess, kViSuccess},
      {"GPIB0::14::0::INSTR", kViSuccess, kViSuccess},
      {"GPIB0::14::99::INSTR", kViErrorInvRsrcName, kViErrorInvRsrcName},
      {"GPIB0::14::INSTR::X", kViErrorInvRsrcName, kViErrorInvRsrcName},
      {"GPIB0::140::INSTR", kViErrorInvRsrcName, kViErrorInvRsrcName},
      {"GPIB1::14::INSTR", kViErrorRsrcNfound, kViErrorRsrcNfound},
      {"GPIB0::15::INSTR", kViSuccess, kViErrorRsrcNfound},
      {"TCPIP0::1.2.3.4::INSTR", kViErrorRsrcNfound, kViErrorRsrcNfound},
  };
  Front f;
  f.open();
  for (const Case &c : cases) {
    ViUInt16 type = 0, board = 0;
    EXPECT_EQ(f.front.viParseRsrc(f.rm, c.name, &type, &board), c.parse) << c.name;
    ViSession vi = 0;
    EXPECT_EQ(f.front.viOpen(f.rm, c.name, 0, 0, &vi), c.open) << c.name;
    if (vi) {
      EXPECT_EQ(f.front.close(vi), kViSuccess);
    }
  }
}

// Shared locks and access keys as the VISA standard has them, one step after another.
TEST(SimulatorVisaLocks, SharedLocksKeepOthersOutAndTakeOnlyTheirKey) {
  enum Op { Exclusive, Shared, Unlock, Write };
  struct Step {
    int who;  // session 0, 1 or 2
    Op op;
    const char *key;
    ViStatus status;
    const char *keyBack = nullptr;  // the access key a granted shared lock gives
  };
  const Step steps[] = {
      {0, Shared, "bench 3", kViSuccess, "bench 3"},
      {1, Write, nullptr, kViErrorRsrcLocked},   // no lock: kept out
      {0, Write, nullptr, kViSuccess},
      {1, Exclusive, nullptr, kViErrorTmo},       // not over another's shared lock
      {1, Shared, "bench 4", kViErrorInvAccessKey},
      {1, Shared, nullptr, kViErrorTmo},          // no key: cannot join
      {1, Shared, "bench 3", kViSuccess, "bench 3"},
      {1, Write, nullptr, kViSuccess},
      {2, Write, nullptr, kViErrorRsrcLocked},
      {0, Exclusive, nullptr, kViErrorTmo},       // 1 shares the lock
      {1, Unlock, nullptr, kViSuccess},
      {1, Write, nullptr, kViErrorRsrcLocked},
      {0, Exclusive, nullptr, kViSuccess},        // 0 alone holds the shared lock
      {0, Shared, nullptr, kViSuccessNestedShared, "bench 3"},
      {2, Shared, "bench 3", kViErrorTmo},        // the exclusive lock stands
      {0, Unlock, nullptr, kViSuccessNestedShared},
      {0, Unlock, nullptr, kViSuccessNestedShared},
      {0, Unlock, nullptr, kViSuccess},
      {0, Unlock, nullptr, kViErrorSesnNlocked},
      {2, Shared, nullptr, kViSuccess, "zolvane-shared-1"},  // a key of its own making
      {0, Write, nullptr, kViErrorRsrcLocked},
  };
  Front f;
  f.open();
  ViSession vi[3] = {f.vi, 0, 0};
  for (int i = 1; i < 3; ++i) ASSERT_EQ(f.front.open(f.rm, "GPIB0::14::INSTR", 0, 0, &vi[i]), kViSuccess);
  int n = 0;
  for (const Step &s : steps) {
    ++n;
    ViSession v = vi[s.who];
    char key[256] = "";
    ViStatus st = s.op == Exclusive ? f.front.viLock(v, kViExclusiveLock, 0, nullptr, nullptr)
                  : s.op == Shared  ? f.front.viLock(v, kViSharedLock, 0, s.key, key)
                  : s.op == Unlock  ? f.front.viUnlock(v)
                                    : printfTo(f.front, v, "*CLS\n");
    EXPECT_EQ(st, s.status) << "step " << n;
    if (s.keyBack) {
      EXPECT_STREQ(key, s.keyBack) << "step " << n;
    }
  }
}

// On the real clock, with threads: a session's wait holds up no other session.
TEST(SimulatorVisaLocks, AWaitHoldsUpNoOtherSession) {
  SteadyClock clock;
  std::string options = "noise=0";
  VisaFront front([&options](Config &c, std::string &e) { return applyOptions(c, options, e); }, clock);
  ViSession rm = 0, a = 0, b = 0;
  ASSERT_EQ(front.openDefaultRM(&rm), kViSuccess);
  ASSERT_EQ(front.open(rm, "GPIB0::14::INSTR", 0, 0, &a), kViSuccess);
  ASSERT_EQ(front.open(rm, "GPIB0::14::INSTR", 0, 0, &b), kViSuccess);

  // B waits up to 3 s for A's lock; A frees it after 0.3 s and B has it at once.
  ASSERT_EQ(front.viLock(a, kViExclusiveLock, 0, nullptr, nullptr), kViSuccess);
  std::atomic<ViStatus> bLock{1};
  std::thread waiter([&] { bLock = front.viLock(b, kViExclusiveLock, 3000, nullptr, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(front.viUnlock(a), kViSuccess);
  waiter.join();
  EXPECT_EQ(bLock.load(), kViSuccess);
  EXPECT_EQ(front.viUnlock(b), kViSuccess);

  // A read with nothing to answer waits out its second; B's calls go on meanwhile.
  ASSERT_EQ(front.setAttribute(a, kViAttrTmoValue, 1000), kViSuccess);
  std::atomic<bool> readDone{false};
  ViStatus readStatus = kViSuccess;
  std::thread reader([&] {
    ViByte buf[16];
    ViUInt32 n = 0;
    readStatus = front.viRead(a, buf, sizeof buf, &n);
    readDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ViUInt32 tmo = 0;
  EXPECT_EQ(front.viGetAttribute(b, kViAttrTmoValue, &tmo), kViSuccess);
  EXPECT_FALSE(readDone.load()) << "B's call waited for A's read";
  reader.join();
  EXPECT_EQ(readStatus, kViErrorTmo);
  EXPECT_EQ(front.close(rm), kViSuccess);
}

}  // namespace
}  // namespace zolvane_sim
