// The VISA side of the simulator: sessions, the formatted write and read, time-outs and the
// trace, on a clock that jumps instead of sleeping.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

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
  EXPECT_EQ(t.rfind("# Zolvane simulated test set", 0), 0U) << t;
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

}  // namespace
}  // namespace zolvane_sim
