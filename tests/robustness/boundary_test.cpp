// Bad input at the library's boundary, in one place: every argument value a caller should not
// pass, with the status it gets and every VISA call it causes. Refused values send nothing;
// accepted ones go to the test set exactly as the caller gave them (the test set answers for
// what it does not take), and none may be cut, reformatted or written outside a buffer.
#include <climits>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "conversation.h"
#include "visa_double.h"

namespace vd = visa_double;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kUntouched = -1234.5;
constexpr const char *kNoError = "+0,\"No error\"";

// 1e300 with two and three decimals, as "%.2f" and "%.3f" write it in the C locale.
const std::string k1e300 =
    "1000000000000000052504760255204420248704468581108159154915854115511802457988908195786371375"
    "0804478640437044438328838781769425232353604305756447921847867069828483872009265758037378302"
    "3379478809005936895323497079994508111903896764088007465274278014249457925878882005684283811"
    "5669472196386865459400540160";

// The lines vd::describe() gives, for the expectations below.
std::string w(const std::string &command) {
  vd::Event e;
  e.fn = vd::Fn::Printf;
  e.text = command;
  return vd::describe(e);
}
std::string q(const std::string &query, const std::string &stored) {
  vd::Event e;
  e.fn = vd::Fn::Queryf;
  e.text = query;
  e.stored = stored;
  return vd::describe(e);
}
std::string failed(std::string line, ViStatus status) {
  return line + " failed " + std::to_string(status);
}
std::string failedQuery(const std::string &query, ViStatus status) {
  vd::Event e;
  e.fn = vd::Fn::Queryf;
  e.text = query;
  e.status = status;
  return vd::describe(e);
}
const std::string kRead = q("SYST:ERR?\n", "+0,\"No");
std::string openLine(const std::string &resource) {
  return "open " + vd::quoted(resource) + " mode 0 timeout 0";
}

std::string gains(const std::string &value) {
  std::string text = "SYST:CORR:GAIN ";
  for (int i = 0; i < 18; ++i) text += (i ? "," : "") + value;
  return text + "\n";
}
const std::string kLossFrequencies =
    "SYST:CORR:FREQ 800000000,825570000,825600000,847410000,847440000,1000000000,1010000000,"
    "1712500000,1712550000,1751850000,1751900000,1790000000,1800000000,1853750000,1853800000,"
    "1906250000,1906300000,2200000000\n";

enum class Start { Closed, Open };

struct Bad {
  std::string input;  // the operation and the value passed
  std::function<int()> run;
  int status;
  std::vector<std::string> calls;  // every VISA call, as vd::describe() writes it
  Start start = Start::Open;
  std::vector<std::pair<std::string, std::string>> answers = {};
};

double value = kUntouched;

// Band 1 is selected before every open case; a band index that is refused must leave it so.
std::vector<Bad> badInputs() {
  auto init = [](int address, ViStatus status) {
    const std::string resource = "GPIB0::" + std::to_string(address) + "::INSTR";
    std::vector<std::string> calls{"openDefaultRM"};
    if (status != 0) {
      calls.push_back(failed(openLine(resource), status));
    } else {
      calls.push_back(openLine(resource));
      calls.push_back("setAttribute 0x3FFF001A 20000");
      calls.push_back(w("*CLS\n"));
    }
    return calls;
  };
  const std::pair<std::string, std::string> esn{"CALL:MS:REP:ESN?\n", "A1B2C3D4"};
  const std::pair<std::string, std::string> conn0{"CALL:CONN:STAT?\n", "0"};
  const std::pair<std::string, std::string> conn1{"CALL:CONN:STAT?\n", "1"};
  const ViStatus kNotFound = kViErrorRsrcNfound;
  const int kRefused = ZOLVANE_ERROR_INV_PARAMETER;
  const int kNullOut = ZOLVANE_ERROR_USER_BUF;
  const ViStatus kClosed = kViErrorInvObject;

  std::vector<Bad> b = {
      // GPIB addresses: formatted unchanged, sign and all; VISA answers for what it cannot open.
      {"Zolvane_InitTester(-1)", [] { return Zolvane_InitTester(-1); }, kNotFound,
       init(-1, kNotFound), Start::Closed},
      {"Zolvane_InitTester(0)", [] { return Zolvane_InitTester(0); }, 0, init(0, 0),
       Start::Closed},
      {"Zolvane_InitTester(31)", [] { return Zolvane_InitTester(31); }, kNotFound,
       init(31, kNotFound), Start::Closed},
      {"Zolvane_InitTester(INT_MIN)", [] { return Zolvane_InitTester(INT_MIN); }, kNotFound,
       init(INT_MIN, kNotFound), Start::Closed},
      {"Zolvane_InitTester(INT_MAX)", [] { return Zolvane_InitTester(INT_MAX); }, kNotFound,
       init(INT_MAX, kNotFound), Start::Closed},

      // Band indices outside 0..3: no name to send, so refused before anything is sent.
      {"Zolvane_2K_SetBand(-1)", [] { return Zolvane_2K_SetBand(-1); }, kRefused, {}},
      {"Zolvane_2K_SetBand(4)", [] { return Zolvane_2K_SetBand(4); }, kRefused, {}},
      {"Zolvane_2K_SetBand(INT_MAX)", [] { return Zolvane_2K_SetBand(INT_MAX); }, kRefused, {}},
      {"Zolvane_ConfigCDMA2K(-1)", [] { return Zolvane_ConfigCDMA2K(-1); }, kRefused, {}},
      {"Zolvane_ConfigCDMA2K(4)", [] { return Zolvane_ConfigCDMA2K(4); }, kRefused, {}},
      {"Zolvane_ConfigCDMA2K(INT_MAX)", [] { return Zolvane_ConfigCDMA2K(INT_MAX); }, kRefused,
       {}},
      {"Zolvane_2K_HandOff(-1, 25)", [] { return Zolvane_2K_HandOff(-1, 25); }, kRefused, {}},
      {"Zolvane_2K_HandOff(4, 25)", [] { return Zolvane_2K_HandOff(4, 25); }, kRefused, {}},
      {"Zolvane_2K_HandOff(INT_MAX, 25)", [] { return Zolvane_2K_HandOff(INT_MAX, 25); },
       kRefused, {}},

      // Channels: sent in decimal with their sign; the frequency by the band's rule, in double
      // arithmetic, whatever its size.
      {"Zolvane_2K_SetChannel(INT_MIN, 0)", [] { return Zolvane_2K_SetChannel(INT_MIN, 0); }, 0,
       {w("CALL:CHAN -2147483648\n"), kRead}},
      {"Zolvane_2K_SetChannel(INT_MAX, 1)", [] { return Zolvane_2K_SetChannel(INT_MAX, 1); }, 0,
       {w("CALL:RFG:FREQ 107376032.350MHz\n"), kRead, kRead}},
      {"Zolvane_2K_SetChannel(INT_MIN, 2)", [] { return Zolvane_2K_SetChannel(INT_MIN, 2); }, 0,
       {w("CALL:CHAN -2147483648\n"), w("CALL:RFG:FREQ -107372332.400MHz\n"), kRead, kRead}},
      {"Zolvane_2K_HandOff(1, INT_MAX)", [] { return Zolvane_2K_HandOff(1, INT_MAX); }, 0,
       {w("CALL:SET:SYST:TYPE DIG2000\n"), w("CALL:CHAN 2147483647\n"), kRead, kRead}},
      {"Zolvane_2K_HandOff(0, INT_MIN)", [] { return Zolvane_2K_HandOff(0, INT_MIN); }, 0,
       {w("CALL:SET:SYST:TYPE DIG2000\n"), w("CALL:SET:BAND USC\n"),
        w("CALL:SET:CHAN -2147483648\n"), w("CALL:HAND\n"), kRead}},

      // Time-outs: the limit is nTimeOut x 1000 as an unsigned 32-bit number, so -1 and INT_MAX
      // are long waits (about 49.7 days) and 0 is reached at once, after the first query.
      {"Zolvane_2K_SyncNetwork(-1)", [] { return Zolvane_2K_SyncNetwork(-1); }, 0,
       {w("CALL:REG\n"), q("CALL:MS:REP:ESN?\n", "12345"), q("CALL:MS:REP:ESN?\n", "A1B2C3D4")},
       Start::Open,
       {{"CALL:MS:REP:ESN?\n", "12345"}, esn}},
      {"Zolvane_2K_SyncNetwork(0)", [] { return Zolvane_2K_SyncNetwork(0); }, 1,
       {w("CALL:REG\n"), q("CALL:MS:REP:ESN?\n", "A1B2C3D4")}, Start::Open, {esn}},
      {"Zolvane_2K_SyncNetwork(INT_MAX)", [] { return Zolvane_2K_SyncNetwork(INT_MAX); }, 0,
       {w("CALL:REG\n"), q("CALL:MS:REP:ESN?\n", "12345"), q("CALL:MS:REP:ESN?\n", "A1B2C3D4")},
       Start::Open,
       {{"CALL:MS:REP:ESN?\n", "12345"}, esn}},
      {"Zolvane_CheckConnect(-1)", [] { return Zolvane_CheckConnect(-1); }, 0,
       {q("CALL:CONN:STAT?\n", "0"), w("*CLS\n"), kRead, q("CALL:CONN:STAT?\n", "1")},
       Start::Open,
       {conn0, conn1, {"SYST:ERR?\n", kNoError}}},
      {"Zolvane_CheckConnect(0)", [] { return Zolvane_CheckConnect(0); }, 1,
       {q("CALL:CONN:STAT?\n", "0"), w("*CLS\n"), kRead}, Start::Open,
       {conn0, {"SYST:ERR?\n", kNoError}}},
      {"Zolvane_CheckConnect(INT_MAX)", [] { return Zolvane_CheckConnect(INT_MAX); }, 0,
       {q("CALL:CONN:STAT?\n", "0"), w("*CLS\n"), kRead, q("CALL:CONN:STAT?\n", "1")},
       Start::Open,
       {conn0, conn1, {"SYST:ERR?\n", kNoError}}},

      // Losses: not finite, or so large that 18 copies overflow the 512-byte command: refused
      // whole. A zero of either sign is sent as 0.00.
      {"Zolvane_2K_SetLoss(NaN)", [] { return Zolvane_2K_SetLoss(kNaN); }, kRefused, {}},
      {"Zolvane_2K_SetLoss(inf)", [] { return Zolvane_2K_SetLoss(kInf); }, kRefused, {}},
      {"Zolvane_2K_SetLoss(-inf)", [] { return Zolvane_2K_SetLoss(-kInf); }, kRefused, {}},
      {"Zolvane_2K_SetLoss(1e300)", [] { return Zolvane_2K_SetLoss(1e300); }, kRefused, {}},
      {"Zolvane_2K_SetLoss(1e22)", [] { return Zolvane_2K_SetLoss(1e22); }, kRefused, {}},
      {"Zolvane_2K_SetLoss(1e21)", [] { return Zolvane_2K_SetLoss(1e21); }, 0,
       {w(kLossFrequencies), w(gains("-1000000000000000000000.00")), w("SYST:CORR:STAT ON\n"),
        kRead}},
      {"Zolvane_2K_SetLoss(-0.0)", [] { return Zolvane_2K_SetLoss(-0.0); }, 0,
       {w(kLossFrequencies), w(gains("0.00")), w("SYST:CORR:STAT ON\n"), kRead}},
      {"Zolvane_2K_SetLoss(0.0)", [] { return Zolvane_2K_SetLoss(0.0); }, 0,
       {w(kLossFrequencies), w(gains("0.00")), w("SYST:CORR:STAT ON\n"), kRead}},

      // Powers and frequencies: not finite is refused; any finite value is sent whole.
      {"Zolvane_2K_SetCellPower(NaN)", [] { return Zolvane_2K_SetCellPower(kNaN); }, kRefused,
       {}},
      {"Zolvane_2K_SetCellPower(inf)", [] { return Zolvane_2K_SetCellPower(kInf); }, kRefused,
       {}},
      {"Zolvane_2K_SetCellPower(-inf)", [] { return Zolvane_2K_SetCellPower(-kInf); }, kRefused,
       {}},
      {"Zolvane_2K_SetCellPower(1e300)", [] { return Zolvane_2K_SetCellPower(1e300); }, 0,
       {w("CALL:POW " + k1e300 + ".00DBM\n"), kRead}},
      {"Zolvane_2K_SetCellPower(-0.0)", [] { return Zolvane_2K_SetCellPower(-0.0); }, 0,
       {w("CALL:POW 0.00DBM\n"), kRead}},
      {"Zolvane_SetCarrierFrequency(NaN)", [] { return Zolvane_SetCarrierFrequency(kNaN); },
       kRefused, {}},
      {"Zolvane_SetCarrierFrequency(inf)", [] { return Zolvane_SetCarrierFrequency(kInf); },
       kRefused, {}},
      {"Zolvane_SetCarrierFrequency(1e300)", [] { return Zolvane_SetCarrierFrequency(1e300); },
       0, {w("CALL:RFG:FREQ " + k1e300 + ".000MHz\n"), kRead}},
      {"Zolvane_SetCarrierFrequency(-0.0)", [] { return Zolvane_SetCarrierFrequency(-0.0); }, 0,
       {w("CALL:RFG:FREQ 0.000MHz\n"), kRead}},

      // Modes and selectors outside their ranges.
      {"Zolvane_SetOperMode(8)", [] { return Zolvane_SetOperMode(static_cast<OperMode>(8)); }, 0,
       {w("CALL:OPER:MODE CELL\n"), kRead}},
      {"Zolvane_SetOperMode(-1)", [] { return Zolvane_SetOperMode(static_cast<OperMode>(-1)); },
       0, {w("CALL:OPER:MODE CELL\n"), kRead}},
      {"Zolvane_SetOperMode(INT_MIN)",
       [] { return Zolvane_SetOperMode(static_cast<OperMode>(INT_MIN)); }, 0,
       {w("CALL:OPER:MODE CELL\n"), kRead}},
      {"Zolvane_SetOperMode(INT_MAX)",
       [] { return Zolvane_SetOperMode(static_cast<OperMode>(INT_MAX)); }, 0,
       {w("CALL:OPER:MODE CELL\n"), kRead}},
      {"Zolvane_2K_SetChannel(384, 3)", [] { return Zolvane_2K_SetChannel(384, 3); }, 0, {kRead}},
      {"Zolvane_2K_SetChannel(384, -1)", [] { return Zolvane_2K_SetChannel(384, -1); }, 0,
       {kRead}},
      {"Zolvane_2K_SetChannel(384, INT_MIN)", [] { return Zolvane_2K_SetChannel(384, INT_MIN); },
       0, {kRead}},
      {"Zolvane_2K_SetChannel(384, INT_MAX)", [] { return Zolvane_2K_SetChannel(384, INT_MAX); },
       0, {kRead}},
      {"Zolvane_2K_SetRFPort(-1)", [] { return Zolvane_2K_SetRFPort(-1); }, 0,
       {w("RFGenerator:OUTPut OUT\n"), kRead}},
      {"Zolvane_2K_SetRFPort(INT_MIN)", [] { return Zolvane_2K_SetRFPort(INT_MIN); }, 0,
       {w("RFGenerator:OUTPut OUT\n"), kRead}},
      {"Zolvane_2K_InitMaxPower(INT_MIN)", [] { return Zolvane_2K_InitMaxPower(INT_MIN); }, 0,
       {w("CALL:PIL:STATE ON\n"), w("CALL:PIL -7\n"), w("CALL:CELL:FCH:STATE ON\n"),
        w("CALL:CELL:FCH -7.4\n"), w("CALL:CLPC:REV:MODE UP\n"), w("SET:DAP:COUN:STAT ON\n"),
        w("SET:DAP:COUN:NUMB -2147483648\n"), w("SET:DAP:CONT ON\n"), w("SET:DAP:TIM:STAT OFF\n"),
        w("INIT:DAP\n"), kRead}},
      {"Zolvane_2K_SetNetwork(INT_MIN, INT_MAX)",
       [] { return Zolvane_2K_SetNetwork(INT_MIN, INT_MAX); }, 0,
       {w("CALL:SID -2147483648\n"), w("CALL:NID 2147483647\n"), kRead}},

      // Null out-parameters: refused before anything is sent.
      {"Zolvane_2K_MeasFER(NULL)", [] { return Zolvane_2K_MeasFER(nullptr); }, kNullOut, {}},
      {"Zolvane_2K_MeasMaxPower(NULL)", [] { return Zolvane_2K_MeasMaxPower(nullptr); },
       kNullOut, {}},
      {"Zolvane_FetchDAPower(NULL)", [] { return Zolvane_FetchDAPower(nullptr); }, kNullOut, {}},
      {"Zolvane_2K_MeasMinPower(NULL)", [] { return Zolvane_2K_MeasMinPower(nullptr); },
       kNullOut, {}},
      {"Zolvane_2K_MeasRolop(NULL)", [] { return Zolvane_2K_MeasRolop(nullptr); }, kNullOut, {}},
      {"Zolvane_FetchCPower(NULL)", [] { return Zolvane_FetchCPower(nullptr); }, kNullOut, {}},

      // Nothing open: every operation goes to session 0, which VISA refuses, and returns what
      // its own rules give for a failing step.
      {"Zolvane_ResetTester() unopened", [] { return Zolvane_ResetTester(); }, kClosed,
       {failed(w("*RST\n"), kClosed)}, Start::Closed},
      {"Zolvane_ReleaseTester() unopened", [] { return Zolvane_ReleaseTester(); }, 0, {},
       Start::Closed},
      {"Zolvane_2K_MeasFER(&v) unopened", [] { return Zolvane_2K_MeasFER(&value); }, kClosed,
       {failedQuery("FETC:CFER:RAT?\n", kClosed)}, Start::Closed},
      {"Zolvane_2K_SetChannel(384, 7) unopened", [] { return Zolvane_2K_SetChannel(384, 7); }, 0,
       {failedQuery("SYST:ERR?\n", kClosed)}, Start::Closed},
      {"Zolvane_2K_SyncNetwork(1) unopened", [] { return Zolvane_2K_SyncNetwork(1); }, kClosed,
       {failed(w("CALL:REG\n"), kClosed), failedQuery("CALL:MS:REP:ESN?\n", kClosed)},
       Start::Closed},
      {"Zolvane_CheckConnect(1) unopened", [] { return Zolvane_CheckConnect(1); }, 1,
       {failedQuery("CALL:CONN:STAT?\n", kClosed)}, Start::Closed},
      {"Zolvane_EndCall() unopened", [] { return Zolvane_EndCall(); }, kClosed,
       {failed(w("CALL:END\n"), kClosed), failed(w("*RST\n"), kClosed)}, Start::Closed},
  };
  return b;
}

bool bandIsStillPcs() {
  vd::restart();
  vd::answer("SYST:ERR?\n", kNoError);
  EXPECT_EQ(Zolvane_2K_SetChannel(25, 1), 0);
  const std::vector<std::string> t = vd::transcript();
  return !t.empty() && t.front() == w("CALL:RFG:FREQ 1851.250MHz\n");
}

TEST(Boundary, EveryBadInputGetsItsStatusAndSendsWhatTheTableSays) {
  const std::vector<Bad> inputs = badInputs();
  for (const Bad &b : inputs) {
    SCOPED_TRACE(b.input);
    Zolvane_ReleaseTester();
    vd::reset();
    if (b.start == Start::Open) {
      ASSERT_EQ(Zolvane_InitTester(5), 0);
      vd::restart();
      vd::answer("SYST:ERR?\n", kNoError);
      ASSERT_EQ(Zolvane_2K_SetBand(1), 0);
    }
    vd::restart();
    for (const auto &[query, answer] : b.answers) vd::answer(query, answer);
    if (b.start == Start::Open && b.answers.empty()) vd::answer("SYST:ERR?\n", kNoError);
    value = kUntouched;

    EXPECT_EQ(b.run(), b.status);
    EXPECT_EQ(vd::transcript(), b.calls);
    EXPECT_EQ(value, kUntouched) << "nothing may be stored without a successful fetch";
    if (b.start == Start::Open && b.status == ZOLVANE_ERROR_INV_PARAMETER) {
      EXPECT_TRUE(bandIsStillPcs()) << "a refused call must leave the band as it was";
    }
    std::printf("boundary: %-42s -> %d\n", b.input.c_str(), b.status);
  }
  std::printf("boundary: %zu bad inputs\n", inputs.size());
  Zolvane_ReleaseTester();
  vd::reset();
}

}  // namespace
