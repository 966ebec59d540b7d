// One fault matrix over all 37 operations. Each row is an operation's successful conversation,
// every VISA call in it, session calls included, with what a failure of that call does:
// - Ends: the operation stops there and returns the call's status (a chain's failing step);
// - Ignored: the status is dropped and everything else goes on as in the successful run
//   (error-queue reads, the registration request, the clear between connection polls, the
//   reset that ends a release);
// - NoConnection: the operation stops there and returns 1 (the connection check);
// - EndsThenReset: the operation stops there, sends the closing "*RST" and returns the status.
// Every call of every row is failed in turn with two VISA errors and two warnings; the whole
// transcript, the status and the state left behind are compared with what the row implies.
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "operations.h"
#include "conversation.h"
#include "visa_double.h"

namespace vd = visa_double;

namespace {

enum class OnFailure { Ends, Ignored, NoConnection, EndsThenReset };

struct Call {
  vd::Fn fn;
  std::string text;    // the command, query or resource name
  std::string answer;  // what a query is answered
  OnFailure onFailure;

  Call ignored() const {
    Call c = *this;
    c.onFailure = OnFailure::Ignored;
    return c;
  }
  Call noConnection() const {
    Call c = *this;
    c.onFailure = OnFailure::NoConnection;
    return c;
  }
  Call thenReset() const {
    Call c = *this;
    c.onFailure = OnFailure::EndsThenReset;
    return c;
  }
  bool isQuery() const { return fn == vd::Fn::Queryf; }
};

constexpr const char *kNoError = "+0,\"No error\"";

Call W(const char *command) { return {vd::Fn::Printf, command, "", OnFailure::Ends}; }
Call Q(const char *query, const char *answer) {
  return {vd::Fn::Queryf, query, answer, OnFailure::Ends};
}
// The closing error-queue read of a chain: its status never counts.
Call E() { return Call{vd::Fn::Queryf, "SYST:ERR?\n", kNoError, OnFailure::Ignored}; }
Call openRm() { return {vd::Fn::OpenDefaultRM, "", "", OnFailure::Ends}; }
Call open(const char *resource) { return {vd::Fn::Open, resource, "", OnFailure::Ends}; }
Call setTimeOut() { return {vd::Fn::SetAttribute, "", "", OnFailure::Ends}; }
Call closeInstr() { return {vd::Fn::Close, "instr", "", OnFailure::Ends}; }
Call closeRm() { return {vd::Fn::Close, "rm", "", OnFailure::Ends}; }

std::vector<Call> join(std::initializer_list<std::vector<Call>> parts) {
  std::vector<Call> all;
  for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// The line vd::describe() gives for `call` answered `answer` with `status`.
std::string line(const Call &call, const std::string &answer, ViStatus status) {
  vd::Event e;
  e.fn = call.fn;
  e.status = status;
  switch (call.fn) {
    case vd::Fn::Open:
      e.text = call.text;
      break;
    case vd::Fn::SetAttribute:
      e.attr = kViAttrTmoValue;
      e.attrValue = 20000;
      break;
    case vd::Fn::Close:
      e.sessionKind = call.text == "rm" ? vd::SessionKind::ResourceManager
                                        : vd::SessionKind::Instrument;
      break;
    case vd::Fn::Printf:
    case vd::Fn::Queryf:
      e.text = call.text;
      e.stored = answer.substr(0, answer.find(' '));  // the "%255s" read keeps the first token
      break;
    case vd::Fn::OpenDefaultRM:
      break;
  }
  return vd::describe(e);
}

enum class Start { Open, Closed };

struct Row {
  std::string name;  // the operation, then the variant
  std::function<int()> run;
  std::vector<Call> success;
  Start start = Start::Open;
  // Rows that may change the remembered band start on band 0 and go to band 1 (another channel
  // rule); -1 when the row does not touch the band. The band changes exactly when the call at
  // this position succeeded.
  int bandChangesWith = -1;
  // Rows that read a measurement: the position of the fetch and the value it stores.
  int fetchAt = -1;
  double stored = 0.0;
};

// The Meas rows hand this pointer to the library; it is preset before every run.
double measured = 0.0;
constexpr double kUntouched = -1234.5;

struct Expected {
  std::vector<std::string> lines;
  int status = 0;
  int failedAt = -1;
};

// What the double must log when the call at `k` fails with `status` (k = -1: nothing fails).
// Answers are taken per query text in order, as the double hands them out: a failed query
// takes none.
Expected expectedRun(const Row &row, int k, ViStatus status) {
  Expected x;
  x.failedAt = k;
  std::map<std::string, std::size_t> taken;
  std::map<std::string, std::vector<std::string>> answers;
  for (const Call &c : row.success) {
    if (c.isQuery()) answers[c.text].push_back(c.answer);
  }
  auto nextAnswer = [&](const Call &c) {
    const std::vector<std::string> &list = answers[c.text];
    std::size_t &n = taken[c.text];
    const std::string &a = list[std::min(n, list.size() - 1)];
    ++n;
    return a;
  };
  for (std::size_t i = 0; i < row.success.size(); ++i) {
    const Call &c = row.success[i];
    if (static_cast<int>(i) != k) {
      x.lines.push_back(line(c, c.isQuery() ? nextAnswer(c) : "", 0));
      continue;
    }
    x.lines.push_back(line(c, "", status));
    switch (c.onFailure) {
      case OnFailure::Ignored:
        continue;
      case OnFailure::Ends:
        x.status = status;
        return x;
      case OnFailure::NoConnection:
        x.status = 1;
        return x;
      case OnFailure::EndsThenReset:
        x.lines.push_back(line(row.success.back(), "", 0));
        x.status = status;
        return x;
    }
  }
  return x;
}

// ---- state around each run ------------------------------------------------------------------

void selectBand(int band) {
  vd::restart();
  vd::answer("SYST:ERR?\n", kNoError);
  ASSERT_EQ(Zolvane_2K_SetBand(band), 0);
}

// Channel 25 is 825.75 MHz by the cellular rule (bands 0 and 2) and 1851.25 MHz by the PCS rule
// (bands 1 and 3): the frequency that goes out tells which rule the remembered band has.
bool rememberedBandIsCellular() {
  vd::restart();
  vd::answer("SYST:ERR?\n", kNoError);
  EXPECT_EQ(Zolvane_2K_SetChannel(25, 1), 0);
  for (const vd::Event &e : vd::events()) {
    if (e.text == "CALL:RFG:FREQ 825.750MHz\n") return true;
    if (e.text == "CALL:RFG:FREQ 1851.250MHz\n") return false;
  }
  ADD_FAILURE() << "no generator frequency was sent";
  return false;
}

void prepare(const Row &row) {
  Zolvane_ReleaseTester();
  vd::reset();
  if (row.start == Start::Open) {
    ASSERT_EQ(Zolvane_InitTester(5), 0);
    selectBand(0);
  }
  vd::restart();
  for (const Call &c : row.success) {
    if (c.isQuery()) vd::answer(c.text, c.answer);
  }
  measured = kUntouched;
}

// What the run left behind: open sessions after an open or release, the band, a stored value.
void expectStateAfter(const Row &row, const Expected &x) {
  const int k = x.failedAt;
  if (row.name == "Zolvane_InitTester") {
    // Nothing is closed when a step fails.
    EXPECT_EQ(vd::openResourceManagers(), k == 0 ? 0U : 1U);
    EXPECT_EQ(vd::openSessions(), k == 0 || k == 1 ? 0U : 1U);
  }
  if (row.name == "Zolvane_ReleaseTester") {
    // Both handles are cleared whatever the status: a second release has nothing to close.
    vd::restart();
    EXPECT_EQ(Zolvane_ReleaseTester(), 0);
    EXPECT_TRUE(vd::events().empty());
  }
  if (row.fetchAt >= 0) {
    if (k == row.fetchAt) {
      EXPECT_EQ(measured, kUntouched) << "a failed fetch must leave the value";
    } else {
      EXPECT_DOUBLE_EQ(measured, row.stored);
    }
  }
  if (row.bandChangesWith >= 0) {
    const bool changed = k < 0 || k > row.bandChangesWith ||
                         (k != row.bandChangesWith &&
                          row.success[static_cast<std::size_t>(k)].onFailure == OnFailure::Ignored);
    EXPECT_EQ(rememberedBandIsCellular(), !changed)
        << (changed ? "the band should have changed" : "the band should have stayed");
  }
}

// ---- the rows ---------------------------------------------------------------------------------

struct Reader {
  const char *name;
  int (*op)(double *);
};

std::vector<Call> sends(std::initializer_list<const char *> commands) {
  std::vector<Call> calls;
  for (const char *c : commands) calls.push_back(W(c));
  return calls;
}

std::vector<Call> chain(std::initializer_list<const char *> commands) {
  return join({sends(commands), {E()}});
}

std::vector<Call> setBandCalls(const char *bandCommand) {
  return chain({"CALL:OPER:MODE CALL\n", "CALL:SYSTEM DIG2000\n", bandCommand, "CALL:PROT PREV6\n",
                "CALL:RCON F1R1\n", "CALL:PAG:STATE OFF\n", "CALL:CELL:FCH:STATE OFF\n"});
}

std::vector<Row> rows() {
  std::vector<Row> r;
  auto add = [&](Row row) { r.push_back(std::move(row)); };

  // Session.
  add({"Zolvane_InitTester", [] { return Zolvane_InitTester(5); },
       {openRm(), open("GPIB0::5::INSTR"), setTimeOut(), W("*CLS\n")}, Start::Closed});
  add({"Zolvane_ReleaseTester", [] { return Zolvane_ReleaseTester(); }, {closeInstr(), closeRm()}});
  add({"Zolvane_ResetTester", [] { return Zolvane_ResetTester(); }, {W("*RST\n")}});

  // Cell configuration.
  add({"Zolvane_ConfigCDMA2K", [] { return Zolvane_ConfigCDMA2K(1); },
       join({sends({"*CLS\n", "INIT:CFER:OFF\n", "INIT:DAP:OFF\n", "INIT:CPOW:OFF\n",
                    "INIT:CAPP:OFF\n", "INIT:ATXP:OFF\n", "INIT:FM:OFF\n", "INIT:AFAN:OFF\n",
                    "AFG:VOLT:STAT OFF\n", "DISP:MODE TRACK\n"}),
             setBandCalls("CALL:BAND USPC\n"), chain({"RFGenerator:OUTPut IO\n"})}),
       Start::Open, 12});
  add({"Zolvane_2K_SetBand", [] { return Zolvane_2K_SetBand(1); }, setBandCalls("CALL:BAND USPC\n"),
       Start::Open, 2});
  add({"Zolvane_2K_SetLoss", [] { return Zolvane_2K_SetLoss(1.25); },
       chain({"SYST:CORR:FREQ 800000000,825570000,825600000,847410000,847440000,1000000000,"
              "1010000000,1712500000,1712550000,1751850000,1751900000,1790000000,1800000000,"
              "1853750000,1853800000,1906250000,1906300000,2200000000\n",
              "SYST:CORR:GAIN -1.25,-1.25,-1.25,-1.25,-1.25,-1.25,-1.25,-1.25,-1.25,-1.25,-1.25,"
              "-1.25,-1.25,-1.25,-1.25,-1.25,-1.25,-1.25\n",
              "SYST:CORR:STAT ON\n"})});
  add({"Zolvane_2K_SetRFPort IO", [] { return Zolvane_2K_SetRFPort(0); },
       chain({"RFGenerator:OUTPut IO\n"})});
  add({"Zolvane_2K_SetRFPort OUT", [] { return Zolvane_2K_SetRFPort(3); },
       chain({"RFGenerator:OUTPut OUT\n"})});
  add({"Zolvane_2K_OpenAct", [] { return Zolvane_2K_OpenAct(); },
       chain({"CALL:SYNC:STATE ON\n", "CALL:SYNC -16\n", "CALL:PAG:STATE ON\n", "CALL:PAG -12\n",
              "CALL:CELL:FCH:STATE ON\n", "CALL:CELL:FCH -15.6\n"})});
  add({"Zolvane_2K_SetCellPower", [] { return Zolvane_2K_SetCellPower(-55.5); },
       chain({"CALL:POW -55.50DBM\n"})});
  add({"Zolvane_2K_SetNetwork", [] { return Zolvane_2K_SetNetwork(4139, 65535); },
       chain({"CALL:SID 4139\n", "CALL:NID 65535\n"})});
  add({"Zolvane_SetOperMode", [] { return Zolvane_SetOperMode(OPER_MODE_GBTT); },
       chain({"CALL:OPER:MODE GBTT\n"})});
  add({"Zolvane_SetOperModeCALL", [] { return Zolvane_SetOperModeCALL(); },
       chain({"CALL:OPER:MODE CALL\n"})});
  add({"Zolvane_SetOperModeCW", [] { return Zolvane_SetOperModeCW(); },
       chain({"CALL:OPER:MODE CW\n"})});
  add({"Zolvane_2K_SetChannel mode 0", [] { return Zolvane_2K_SetChannel(384, 0); },
       chain({"CALL:CHAN 384\n"})});
  add({"Zolvane_2K_SetChannel mode 1", [] { return Zolvane_2K_SetChannel(384, 1); },
       join({chain({"CALL:RFG:FREQ 836.520MHz\n"}), {E()}})});
  add({"Zolvane_2K_SetChannel mode 2", [] { return Zolvane_2K_SetChannel(384, 2); },
       join({{W("CALL:CHAN 384\n")}, chain({"CALL:RFG:FREQ 836.520MHz\n"}), {E()}})});
  add({"Zolvane_2K_SetChannel mode 3", [] { return Zolvane_2K_SetChannel(384, 3); }, {E()}});
  add({"Zolvane_SetCarrierFrequency", [] { return Zolvane_SetCarrierFrequency(1851.25); },
       chain({"CALL:RFG:FREQ 1851.250MHz\n"})});

  // Call control.
  add({"Zolvane_2K_SyncNetwork", [] { return Zolvane_2K_SyncNetwork(1); },
       {W("CALL:REG\n").ignored(), Q("CALL:MS:REP:ESN?\n", "12345"),
        Q("CALL:MS:REP:ESN?\n", "A1B2C3D4")}});
  add({"Zolvane_SetOrig", [] { return Zolvane_SetOrig(); }, {W("CALL:ORIG\n")}});
  add({"Zolvane_CheckConnect", [] { return Zolvane_CheckConnect(1); },
       {Q("CALL:CONN:STAT?\n", "0").noConnection(), W("*CLS\n").ignored(),
        Q("SYST:ERR?\n", kNoError).ignored(), Q("CALL:CONN:STAT?\n", "1").noConnection()}});
  add({"Zolvane_EndCall", [] { return Zolvane_EndCall(); },
       {W("CALL:END\n").thenReset(), Q("CALL:CONN:STAT?\n", "1").thenReset(),
        W("*CLS\n").ignored(), Q("SYST:ERR?\n", kNoError).ignored(),
        Q("CALL:CONN:STAT?\n", "0").thenReset(), W("*RST\n").ignored()}});
  add({"Zolvane_2K_HandOff same band", [] { return Zolvane_2K_HandOff(0, 283); },
       join({{W("CALL:SET:SYST:TYPE DIG2000\n")}, chain({"CALL:CHAN 283\n"}), {E()}})});
  add({"Zolvane_2K_HandOff other band", [] { return Zolvane_2K_HandOff(1, 25); },
       chain({"CALL:SET:SYST:TYPE DIG2000\n", "CALL:SET:BAND USPC\n", "CALL:SET:CHAN 25\n",
              "CALL:HAND\n"}),
       Start::Open, 3});

  // Measurements.
  const std::vector<Call> initFer =
      chain({"CALL:PIL:STATE ON\n", "CALL:PIL -7\n", "CALL:CELL:FCH:STATE ON\n",
             "CALL:CELL:FCH -15.6\n", "SET:CFER:CONF:STAT ON\n", "SET:CFER:CONF:LEV 95PCT\n",
             "SET:CFER:CONF:REQ 5\n", "SET:CFER:COUN:MAX 1000\n", "SET:CFER:COUN:MIN 50\n",
             "SET:CFER:CONT ON\n", "SET:CFER:TIM:STAT OFF\n", "INIT:CFER\n"});
  add({"Zolvane_2K_InitFER", [] { return Zolvane_2K_InitFER(); }, initFer});
  Row measFer{"Zolvane_2K_MeasFER", [] { return Zolvane_2K_MeasFER(&measured); },
              {Q("FETC:CFER:RAT?\n", "1.25E-002"), W("*CLS\n"), E()}};
  measFer.fetchAt = 0;
  measFer.stored = 0.0125;
  add(measFer);
  add({"Zolvane_2K_AbortFER", [] { return Zolvane_2K_AbortFER(); },
       chain({"INIT:CFER:OFF\n", "*CLS\n"})});

  add({"Zolvane_2K_InitMaxPower", [] { return Zolvane_2K_InitMaxPower(20); },
       chain({"CALL:PIL:STATE ON\n", "CALL:PIL -7\n", "CALL:CELL:FCH:STATE ON\n",
              "CALL:CELL:FCH -7.4\n", "CALL:CLPC:REV:MODE UP\n", "SET:DAP:COUN:STAT ON\n",
              "SET:DAP:COUN:NUMB 20\n", "SET:DAP:CONT ON\n", "SET:DAP:TIM:STAT OFF\n",
              "INIT:DAP\n"})});
  for (const Reader &reader : {Reader{"Zolvane_2K_MeasMaxPower", Zolvane_2K_MeasMaxPower},
                                Reader{"Zolvane_FetchDAPower", Zolvane_FetchDAPower}}) {
    Row read{reader.name, [op = reader.op] { return op(&measured); },
             {Q("FETC:DAP?\n", "0,2.312E+01"), W("*CLS\n"), E()}};
    read.fetchAt = 0;
    read.stored = 23.12;
    add(read);
  }
  add({"Zolvane_2K_AbortMaxPower", [] { return Zolvane_2K_AbortMaxPower(); },
       chain({"CALL:CLPC:REV:MODE ACT\n", "INIT:DAP:OFF\n", "*CLS\n"})});
  add({"Zolvane_ConfigMeasDAP", [] { return Zolvane_ConfigMeasDAP(); },
       chain({"INIT:CPOW:OFF\n", "CALL:PIL:STATE ON\n", "CALL:PIL -7\n",
              "CALL:CELL:FCH:STATE ON\n", "CALL:CELL:FCH -7.4\n", "CALL:CONN:DROP:TIM OFF\n",
              "CALL:CLPC:REV:MODE UP\n", "SET:DAP:COUN:STAT OFF\n", "SET:DAP:CONT ON\n",
              "SET:DAP:TIM:STATE OFF\n"})});
  add({"Zolvane_InitDAPower", [] { return Zolvane_InitDAPower(); },
       chain({"INIT:DAP:OFF\n", "INIT:CPOW:OFF\n", "INIT:DAP\n"})});

  add({"Zolvane_2K_InitMinPower", [] { return Zolvane_2K_InitMinPower(); },
       chain({"CALL:PIL:STATE ON\n", "CALL:PIL -7\n", "CALL:CELL:FCH:STATE ON\n",
              "CALL:CELL:FCH -7.4\n", "CALL:CONN:DROP:TIM OFF\n", "CALL:CLPC:REV:MODE DOWN\n",
              "SET:CPOW:COUN:STAT OFF\n", "SET:CPOW:CONT ON\n", "SET:CPOW:MSP NORM\n",
              "SET:CPOW:TIM:STAT OFF\n", "INIT:CPOW\n"})});
  add({"Zolvane_InitCPower", [] { return Zolvane_InitCPower(); },
       chain({"CALL:PIL:STATE ON\n", "CALL:PIL -7\n", "CALL:CELL:FCH:STATE ON\n",
              "CALL:CELL:FCH -7.4\n", "CALL:CONN:DROP:TIM OFF\n", "CALL:CLPC:REV:MODE DOWN\n",
              "SET:CPOW:COUN:STAT OFF\n", "SET:CPOW:CONT ON\n", "SET:CPOW:MSP NORM\n",
              "SET:CPOW:TIM:STATE OFF\n", "INIT:CPOW\n"})});
  add({"Zolvane_2K_InitRolop", [] { return Zolvane_2K_InitRolop(); },
       chain({"CALL:PIL:STATE ON\n", "CALL:PIL -7\n", "CALL:CELL:FCH:STATE ON\n",
              "CALL:CELL:FCH -7.4\n", "CALL:CLPC:REV:MODE ALT\n", "SET:CPOW:COUN:STAT OFF\n",
              "SET:CPOW:CONT ON\n", "SET:CPOW:MSP NORM\n", "SET:CPOW:TIM:STAT OFF\n",
              "INIT:CPOW:OFF\n", "INIT:CPOW\n"})});
  for (const Reader &reader : {Reader{"Zolvane_2K_MeasMinPower", Zolvane_2K_MeasMinPower},
                                Reader{"Zolvane_2K_MeasRolop", Zolvane_2K_MeasRolop},
                                Reader{"Zolvane_FetchCPower", Zolvane_FetchCPower}}) {
    Row read{reader.name, [op = reader.op] { return op(&measured); },
             {Q("FETC:CPOW?\n", "0,-5.02E+01"), W("*CLS\n"), E()}};
    read.fetchAt = 0;
    read.stored = -50.2;
    add(read);
  }
  add({"Zolvane_2K_AbortMinPower", [] { return Zolvane_2K_AbortMinPower(); },
       chain({"CALL:CLPC:REV:MODE ACT\n", "CALL:CONN:DROP:TIM ON\n", "INIT:CPOW:OFF\n",
              "*CLS\n"})});
  add({"Zolvane_2K_AbortRolop", [] { return Zolvane_2K_AbortRolop(); },
       chain({"CALL:CLPC:REV:MODE ACT\n", "INIT:CPOW:OFF\n", "*CLS\n"})});
  return r;
}

// Two errors and two warnings: a warning is a failure like an error.
constexpr ViStatus kFailures[] = {kViErrorTmo, kViErrorIo, kViSuccessTermChar, kViSuccessMaxCnt};

class FaultMatrix : public ::testing::Test {
 protected:
  void TearDown() override {
    Zolvane_ReleaseTester();
    vd::reset();
  }
};

TEST_F(FaultMatrix, EveryRowNamesAnExportedOperationAndEveryOperationHasARow) {
  std::set<std::string> covered;
  for (const Row &row : rows()) {
    const std::string op(robustness::operationOf(row.name));
    EXPECT_TRUE(robustness::isExported(op)) << row.name;
    covered.insert(op);
  }
  EXPECT_EQ(covered.size(), std::size(robustness::kExportedOperations));
}

TEST_F(FaultMatrix, EveryCallOfEveryOperationFailsWithErrorsAndWarnings) {
  int cases = 0;
  int rowsRun = 0;
  for (const Row &row : rows()) {
    SCOPED_TRACE(row.name);
    ++rowsRun;
    {
      SCOPED_TRACE("nothing fails");
      prepare(row);
      const Expected x = expectedRun(row, -1, 0);
      EXPECT_EQ(row.run(), 0);
      EXPECT_EQ(vd::transcript(), x.lines);
      expectStateAfter(row, x);
    }
    for (std::size_t k = 0; k < row.success.size(); ++k) {
      for (ViStatus status : kFailures) {
        SCOPED_TRACE("call " + std::to_string(k) + " (" + line(row.success[k], "", 0) +
                     ") fails with " + std::to_string(status));
        prepare(row);
        vd::failAt(k, status);
        const Expected x = expectedRun(row, static_cast<int>(k), status);
        EXPECT_EQ(row.run(), x.status);
        EXPECT_EQ(vd::transcript(), x.lines);
        expectStateAfter(row, x);
        ++cases;
      }
    }
  }
  std::printf("fault matrix: %d rows over %zu operations, %d operation x position x status cases\n",
              rowsRun, std::size(robustness::kExportedOperations), cases);
  RecordProperty("cases", cases);
}

}  // namespace
