// The state model of the simulated test set, on a clock that moves only when the test says so.
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bench.h"

namespace zolvane_sim {
namespace {

const std::string kNoError = "+0,\"No error\"";

std::string gainCommand(const char *gain) {
  std::string s = "SYST:CORR:GAIN ";
  for (int i = 0; i < 18; ++i) s += std::string(i ? "," : "") + gain;
  return s;
}
const std::string kFreqCommand =
    "SYST:CORR:FREQ 800000000,825570000,825600000,847410000,847440000,1000000000,1010000000,"
    "1712500000,1712550000,1751850000,1751900000,1790000000,1800000000,1853750000,1853800000,"
    "1906250000,1906300000,2200000000";

// Every command the library sends, byte for byte, in an order a phone test could use. The real
// test set takes each of them; a simulator that flagged one would mislead every user.
TEST(SimulatorCommands, EveryLibraryCommandIsAcceptedWithoutError) {
  Config c = quietConfig();
  c.regDelay = c.connDelay = c.dropDelay = c.handoffDelay = 0.0;
  Bench b(c);
  const std::vector<std::string> commands{
      "*CLS", "*RST", "INIT:CFER:OFF", "INIT:DAP:OFF", "INIT:CPOW:OFF", "INIT:CAPP:OFF",
      "INIT:ATXP:OFF", "INIT:FM:OFF", "INIT:AFAN:OFF", "AFG:VOLT:STAT OFF", "DISP:MODE TRACK",
      "CALL:OPER:MODE CELL", "CALL:OPER:MODE TEST", "CALL:OPER:MODE OFF", "CALL:OPER:MODE PBT",
      "CALL:OPER:MODE PBPT", "CALL:OPER:MODE GBTT", "CALL:OPER:MODE CW", "CALL:OPER:MODE CALL",
      "CALL:SYSTEM DIG2000", "CALL:BAND USPC", "CALL:BAND SEC800", "CALL:BAND USPC1900",
      "CALL:BAND USC", "CALL:PROT PREV6", "CALL:RCON F1R1", "CALL:PAG:STATE OFF",
      "CALL:CELL:FCH:STATE OFF", kFreqCommand, gainCommand("-1.25"), gainCommand("2.00"),
      gainCommand("0.00"), "SYST:CORR:STAT ON", "RFGenerator:OUTPut OUT", "RFGenerator:OUTPut IO",
      "CALL:SYNC:STATE ON", "CALL:SYNC -16", "CALL:PAG:STATE ON", "CALL:PAG -12",
      "CALL:CELL:FCH:STATE ON", "CALL:CELL:FCH -15.6", "CALL:POW -55.50DBM", "CALL:POW -65.00DBM",
      "CALL:SID 4", "CALL:NID 65535", "CALL:CHAN 283", "CALL:CHAN 1013", "CALL:RFG:FREQ 836.520MHz",
      "CALL:RFG:FREQ 1851.250MHz", "CALL:REG", "CALL:ORIG", "CALL:PIL:STATE ON", "CALL:PIL -7",
      "SET:CFER:CONF:STAT ON", "SET:CFER:CONF:LEV 95PCT", "SET:CFER:CONF:REQ 5",
      "SET:CFER:COUN:MAX 1000", "SET:CFER:COUN:MIN 50", "SET:CFER:CONT ON",
      "SET:CFER:TIM:STAT OFF", "INIT:CFER", "INIT:CFER:OFF", "CALL:CELL:FCH -7.4",
      "CALL:CLPC:REV:MODE UP", "SET:DAP:COUN:STAT ON", "SET:DAP:COUN:NUMB 20", "SET:DAP:CONT ON",
      "SET:DAP:TIM:STAT OFF", "INIT:DAP", "CALL:CLPC:REV:MODE ACT", "CALL:CONN:DROP:TIM OFF",
      "SET:DAP:COUN:STAT OFF", "SET:DAP:TIM:STATE OFF", "CALL:CLPC:REV:MODE DOWN",
      "SET:CPOW:COUN:STAT OFF", "SET:CPOW:CONT ON", "SET:CPOW:MSP NORM", "SET:CPOW:TIM:STAT OFF",
      "SET:CPOW:TIM:STATE OFF", "INIT:CPOW", "CALL:CONN:DROP:TIM ON", "CALL:CLPC:REV:MODE ALT",
      "CALL:SET:SYST:TYPE DIG2000", "CALL:SET:BAND USPC", "CALL:SET:CHAN 25", "CALL:HAND",
      "CALL:END"};
  for (const std::string &cmd : commands) {
    b.send(cmd);
    b.wait(0.001);
    EXPECT_EQ(b.nextError(), kNoError) << cmd;
  }
  for (const char *q : {"SYST:ERR?", "CALL:MS:REP:ESN?", "CALL:CONN:STAT?", "FETC:CFER:RAT?",
                        "FETC:DAP?", "FETC:CPOW?"}) {
    EXPECT_NE(b.ask(q), "<no answer>") << q;
    EXPECT_EQ(b.nextError(), kNoError) << q;
  }
}

struct Rejected {
  const char *command;
  const char *error;
};

// A command the test set would refuse leaves one error in the queue and the state as it was.
TEST(SimulatorErrorQueue, RejectedCommandsQueueTheirErrorAndChangeNothing) {
  const Rejected cases[] = {
      {"FOO", "-113,\"Undefined header\""},
      {"CALL:FCHA:STAT OFF", "-113,\"Undefined header\""},
      {"CALL:REG?", "-113,\"Undefined header\""},
      {"CALL:MS:REP:ESN", "-113,\"Undefined header\""},
      {"CALL:POW -5.00DBM", "-222,\"Data out of range\""},
      {"CALL:POW -150DBM", "-222,\"Data out of range\""},
      {"CALL:CHAN 900", "-222,\"Data out of range\""},
      {"CALL:SID 40000", "-222,\"Data out of range\""},
      {"CALL:RFG:FREQ 836.520", "-222,\"Data out of range\""},
      {"CALL:POW -65.00DBW", "-131,\"Invalid suffix\""},
      {"CALL:POW", "-109,\"Missing parameter\""},
      {"CALL:POW -60,-61", "-108,\"Parameter not allowed\""},
      {"CALL:REG 1", "-108,\"Parameter not allowed\""},
      {"CALL:POW abc", "-104,\"Data type error\""},
      {"CALL:BAND XYZ", "-224,\"Illegal parameter value\""},
      {"CALL:PIL:STATE MAYBE", "-224,\"Illegal parameter value\""},
      {"CALL:PIL:STATE 2", "-222,\"Data out of range\""},
      {"SYST:CORR:STAT ON", "-221,\"Settings conflict\""},
      {"CALL:ORIG", "-221,\"Settings conflict\""},  // the cell is not in call mode
      {"CALL::POW -60", "-102,\"Syntax error\""},
  };
  for (const Rejected &r : cases) {
    Bench b;
    if (std::string(r.command) == "CALL:ORIG") b.send("CALL:OPER:MODE CW");
    Settings before = b.ts.settings();
    b.send(r.command);
    EXPECT_EQ(b.drainErrors(), std::vector<std::string>{r.error}) << r.command;
    const Settings &after = b.ts.settings();
    EXPECT_EQ(after.cellPower, before.cellPower) << r.command;
    EXPECT_EQ(after.channel, before.channel) << r.command;
    EXPECT_EQ(after.band, before.band) << r.command;
    EXPECT_EQ(after.pilotOn, before.pilotOn) << r.command;
    EXPECT_EQ(after.correctionOn, before.correctionOn) << r.command;
    EXPECT_EQ(b.ts.callState(), CallState::Idle) << r.command;
  }
}

TEST(SimulatorErrorQueue, IsFirstInFirstOutClearedByClsKeptByRstAndBounded) {
  Bench b;
  b.send("FOO");
  b.send("CALL:POW 0DBM");
  b.send("*RST");
  EXPECT_EQ(b.nextError(), "-113,\"Undefined header\"");
  EXPECT_EQ(b.nextError(), "-222,\"Data out of range\"");
  EXPECT_EQ(b.nextError(), kNoError);

  b.send("FOO");
  b.send("*CLS");
  EXPECT_EQ(b.nextError(), kNoError);

  for (int i = 0; i < 40; ++i) b.send("FOO");
  std::vector<std::string> all = b.drainErrors();
  ASSERT_EQ(all.size(), 30U);
  EXPECT_EQ(all.front(), "-113,\"Undefined header\"");
  EXPECT_EQ(all.back(), "-350,\"Queue overflow\"");
}

TEST(SimulatorErrorQueue, NewMessageBeforeTheAnswerWasReadInterruptsTheQuery) {
  Bench b;
  b.send("CALL:POW?");  // never read
  EXPECT_EQ(b.ask("CALL:SID?"), "1");
  EXPECT_EQ(b.nextError(), "-410,\"Query INTERRUPTED\"");
  EXPECT_EQ(b.nextError(), kNoError);
}

// Short and long forms, any case, optional nodes, a leading colon and the compound-header rule.
TEST(SimulatorHeaders, ShortLongOptionalAndCompoundFormsReachTheSameSetting) {
  const char *forms[] = {"CALL:CELL:FCH:STATE OFF", "call:cell:fchannel:state off",
                         "CALL:FCH:STAT 0", ":CALL:CELL:FCHANNEL:STAT OFF",
                         "CALL:PIL:STAT ON;:CALL:FCH:STAT OFF"};
  for (const char *f : forms) {
    Bench b;
    ASSERT_TRUE(b.ts.settings().fchOn);
    b.send(f);
    EXPECT_FALSE(b.ts.settings().fchOn) << f;
    EXPECT_EQ(b.nextError(), kNoError) << f;
  }
  Bench b;
  b.send("CALL:PIL:STATE OFF;LEV -9.5");  // LEV continues from CALL:PIL
  EXPECT_FALSE(b.ts.settings().pilotOn);
  EXPECT_DOUBLE_EQ(b.ts.settings().pilotLevel, -9.5);
  EXPECT_EQ(b.ask("CALL:PIL?;:CALL:POW?"), "-9.50;-50.00");
  EXPECT_EQ(b.nextError(), kNoError);
}

TEST(SimulatorReset, RestoresTheDefaultsAndDropsTheCall) {
  Bench b;
  b.establishCall();
  const std::vector<std::string> changes{
      "CALL:POW -80DBM", "CALL:BAND USPC", "CALL:CHAN 600", "CALL:SID 77", "CALL:PAG:STATE OFF",
      "CALL:CLPC:REV:MODE UP", "INIT:DAP", "RFGenerator:OUTPut OUT", kFreqCommand,
      gainCommand("-3"), "SYST:CORR:STAT ON", "CALL:CONN:DROP:TIM OFF"};
  for (const std::string &cmd : changes) b.send(cmd);
  ASSERT_EQ(b.nextError(), kNoError);
  b.send("*RST");
  EXPECT_EQ(b.ts.callState(), CallState::Idle);
  EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "0");
  EXPECT_EQ(b.ask("CALL:MS:REP:ESN?"), "0");
  EXPECT_EQ(b.ask("CALL:POW?"), "-50.00");
  EXPECT_EQ(b.ask("CALL:BAND?"), "USC");
  EXPECT_EQ(b.ask("CALL:CHAN?"), "384");
  EXPECT_EQ(b.ask("CALL:SID?"), "1");
  EXPECT_EQ(b.ask("CALL:PAG:STAT?"), "1");
  EXPECT_EQ(b.ask("CALL:CLPC:REV:MODE?"), "ACT");
  EXPECT_EQ(b.ask("INIT:DAP?"), "0");
  EXPECT_EQ(b.ask("RFG:OUTP?"), "IO");
  EXPECT_EQ(b.ask("SYST:CORR:STAT?"), "0");
  EXPECT_EQ(b.ask("CALL:CONN:DROP:TIM?"), "1");
}

// ---- The phone ---------------------------------------------------------------------------

TEST(SimulatorPhone, RegistersOneRegistrationDelayAfterTheRequest) {
  Bench b;
  EXPECT_EQ(b.ask("CALL:MS:REP:ESN?"), "0");
  b.send("CALL:REG");
  b.wait(b.config.regDelay - 0.01);
  EXPECT_EQ(b.ask("CALL:MS:REP:ESN?"), "0");
  b.wait(0.02);
  EXPECT_EQ(b.ask("CALL:MS:REP:ESN?"), b.config.esn);
  EXPECT_GT(b.config.esn.size(), 5U);
}

struct Blocker {
  const char *name;
  std::vector<std::string> commands;
  std::string options;
};

// Each of these keeps the phone from registering, however long one waits.
TEST(SimulatorPhone, DoesNotRegisterWithoutAnAudibleCell) {
  const Blocker cases[] = {
      {"paging off", {"CALL:PAG:STATE OFF"}, ""},
      {"sync off", {"CALL:SYNC:STATE OFF"}, ""},
      {"pilot off", {"CALL:PIL:STATE OFF"}, ""},
      {"not in call mode", {"CALL:OPER:MODE CELL"}, ""},
      {"cell power below sensitivity", {"CALL:POW -110DBM"}, ""},
      {"cable loss takes it below sensitivity", {"CALL:POW -107.2DBM"}, ""},
      {"band the phone lacks", {}, "bands=USPC"},
      {"a phone that never registers", {}, "never_register=1"},
  };
  for (const Blocker &c : cases) {
    Config cfg = quietConfig();
    std::string error;
    ASSERT_TRUE(applyOptions(cfg, c.options, error)) << error;
    Bench b(cfg);
    for (const std::string &cmd : c.commands) b.send(cmd);
    b.send("CALL:REG");
    b.wait(5.0);
    EXPECT_EQ(b.ask("CALL:MS:REP:ESN?"), "0") << c.name;
    EXPECT_FALSE(b.ts.registered()) << c.name;
  }
}

TEST(SimulatorPhone, RegistersOnceTheCellBecomesAudibleAfterTheRequest) {
  Bench b;
  b.send("CALL:PAG:STATE OFF");
  b.send("CALL:REG");
  b.wait(2.0);
  b.send("CALL:PAG:STATE ON");
  b.wait(b.config.regDelay - 0.01);
  EXPECT_EQ(b.ask("CALL:MS:REP:ESN?"), "0");
  b.wait(0.02);
  EXPECT_EQ(b.ask("CALL:MS:REP:ESN?"), b.config.esn);
}

// The compensation raises the output by the loss it is told; the real cable loss takes it away.
TEST(SimulatorPhone, PathLossCompensationDecidesWhetherAMarginalCellIsHeard) {
  Config cfg = quietConfig();
  cfg.cableLoss = 1.0;
  Bench lossy(cfg);
  lossy.send("CALL:POW -107.00DBM");  // -108 dBm at the phone, sensitivity -107.5
  lossy.registerPhone();
  EXPECT_FALSE(lossy.ts.registered());

  Bench compensated(cfg);
  compensated.send(kFreqCommand);
  compensated.send(gainCommand("-1.00"));
  compensated.send("SYST:CORR:STAT ON");
  compensated.send("CALL:POW -107.00DBM");
  compensated.registerPhone();
  EXPECT_TRUE(compensated.ts.registered());
  EXPECT_NEAR(compensated.ts.powerAtPhone(), -107.0, 1e-9);
}

TEST(SimulatorPhone, LosingTheCellWhileIdleClearsTheRegistration) {
  Bench b;
  b.registerPhone();
  ASSERT_TRUE(b.ts.registered());
  b.send("CALL:PAG:STATE OFF");
  EXPECT_EQ(b.ask("CALL:MS:REP:ESN?"), "0");
}

TEST(SimulatorCall, ConnectsAfterTheConnectionDelayAndDropsAfterEnd) {
  Bench b;
  b.registerPhone();
  b.send("CALL:ORIG");
  b.wait(b.config.connDelay - 0.01);
  EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "0");
  b.wait(0.02);
  EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "1");
  b.send("CALL:END");
  EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "1");
  b.wait(b.config.dropDelay + 0.01);
  EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "0");
  EXPECT_EQ(b.nextError(), kNoError);
}

TEST(SimulatorCall, OriginationFailsWithoutRegistrationOrAnAnsweringPhone) {
  for (const char *options : {"never_register=1", "never_connect=1"}) {
    Config cfg = quietConfig();
    std::string error;
    ASSERT_TRUE(applyOptions(cfg, options, error));
    Bench b(cfg);
    b.registerPhone();
    b.send("CALL:ORIG");
    b.wait(2.0);
    EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "0") << options;
    EXPECT_EQ(b.ts.callState(), CallState::Idle) << options;
  }
}

TEST(SimulatorCall, APhoneThatNeverDropsStaysConnectedUntilReset) {
  Config cfg = quietConfig();
  cfg.neverDrop = true;
  Bench b(cfg);
  b.establishCall();
  b.send("CALL:END");
  b.wait(10.0);
  EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "1");
  b.send("*RST");
  EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "0");
}

TEST(SimulatorCall, TheDropTimerEndsACallWhoseLinkIsLostAndOnlyThen) {
  for (bool timerOn : {true, false}) {
    Bench b;
    b.establishCall();
    b.send(timerOn ? "CALL:CONN:DROP:TIM ON" : "CALL:CONN:DROP:TIM OFF");
    b.send("CALL:POW -120DBM");
    b.wait(b.config.dropTime - 0.01);
    EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "1") << timerOn;
    b.wait(0.02);
    EXPECT_EQ(b.ask("CALL:CONN:STAT?"), timerOn ? "0" : "1") << timerOn;
  }
}

TEST(SimulatorCall, ChangingBandOrLeavingCallModeEndsTheCall) {
  for (const char *cmd : {"CALL:BAND USPC", "CALL:OPER:MODE CW", "CALL:SYSTEM IS95"}) {
    Bench b;
    b.establishCall();
    b.send(cmd);
    EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "0") << cmd;
  }
}

TEST(SimulatorHandoff, TheCallFollowsToAnotherBandAndChannel) {
  Bench b;
  b.establishCall();
  b.send("CALL:CLPC:REV:MODE UP");
  b.send("SET:DAP:CONT ON");
  b.send("INIT:DAP");
  ASSERT_NE(b.ask("FETC:DAP?"), "NAN");
  b.send("CALL:SET:SYST:TYPE DIG2000");
  b.send("CALL:SET:BAND USPC");
  b.send("CALL:SET:CHAN 25");
  b.send("CALL:HAND");
  EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "1");
  EXPECT_EQ(b.ask("FETC:DAP?"), "NAN");  // the phone is on its way
  b.wait(b.config.handoffDelay + 0.01);
  EXPECT_EQ(b.ts.callState(), CallState::Connected);
  EXPECT_EQ(b.ask("CALL:BAND?"), "USPC");
  EXPECT_EQ(b.ask("CALL:CHAN?"), "25");
  EXPECT_NEAR(Bench::power(b.ask("FETC:DAP?")), b.config.maxPower - b.config.cableLoss, 1e-6);
  EXPECT_EQ(b.nextError(), kNoError);
}

TEST(SimulatorHandoff, APhoneWithoutTheTargetBandDropsTheCall) {
  Config cfg = quietConfig();
  cfg.bands = {"USC"};
  Bench b(cfg);
  b.establishCall();
  b.send("CALL:SET:BAND USPC");
  b.send("CALL:SET:CHAN 25");
  b.send("CALL:HAND");
  b.wait(b.config.handoffDelay + 0.01);
  EXPECT_EQ(b.ask("CALL:CONN:STAT?"), "0");
  EXPECT_EQ(b.ask("CALL:MS:REP:ESN?"), "0");
}

TEST(SimulatorHandoff, AnInvalidSetupChannelIsASettingsConflict) {
  Bench b;
  b.establishCall();
  b.send("CALL:SET:CHAN 1300");  // a cellular channel
  b.send("CALL:SET:BAND USPC");  // which PCS does not have
  b.send("CALL:HAND");
  EXPECT_EQ(b.nextError(), "-221,\"Settings conflict\"");
  EXPECT_EQ(b.ask("CALL:BAND?"), "USC");
}

// ---- Measurements ------------------------------------------------------------------------

struct Fetch {
  const char *init;
  const char *abort;
  const char *query;
};
const Fetch kFetches[] = {
    {"INIT:CFER", "INIT:CFER:OFF", "FETC:CFER:RAT?"},
    {"INIT:DAP", "INIT:DAP:OFF", "FETC:DAP?"},
    {"INIT:CPOW", "INIT:CPOW:OFF", "FETC:CPOW?"},
};

// A value from a measurement that is not running, or with no call up, would be a reading of
// nothing; a user would take it for the phone's.
TEST(SimulatorMeasurements, AnswerNanWhileOffOrWithoutACall) {
  for (const Fetch &f : kFetches) {
    Bench off;
    off.establishCall();
    off.wait(1.0);
    EXPECT_EQ(off.ask(f.query), "NAN") << f.query << " never started";

    Bench noCall;
    noCall.registerPhone();
    noCall.send(f.init);
    noCall.wait(1.0);
    EXPECT_EQ(noCall.ask(f.query), "NAN") << f.query << " without a call";

    Bench aborted;
    aborted.establishCall();
    aborted.send(f.init);
    ASSERT_NE(aborted.ask(f.query), "NAN") << f.query;
    aborted.send(f.abort);
    EXPECT_EQ(aborted.ask(f.query), "NAN") << f.query << " after " << f.abort;

    Bench dropped;
    dropped.establishCall();
    dropped.send(f.init);
    dropped.send("CALL:END");
    dropped.wait(1.0);
    EXPECT_EQ(dropped.ask(f.query), "NAN") << f.query << " after the call ended";
  }
}

// The first result comes one measurement time after the start; the read waits for it.
TEST(SimulatorMeasurements, TheFirstResultIsReadyOneMeasurementTimeAfterTheStart) {
  for (const Fetch &f : kFetches) {
    Bench b;
    b.establishCall();
    Seconds started = b.now;
    b.send(f.init);
    b.send(f.query);
    std::string r;
    Seconds readyAt = kNever;
    EXPECT_FALSE(b.ts.takeResponse(b.now, r, readyAt)) << f.query;
    EXPECT_DOUBLE_EQ(readyAt, started + b.config.measDelay) << f.query;
    EXPECT_TRUE(b.ts.takeResponse(readyAt, r, readyAt)) << f.query;
    EXPECT_NE(r, "NAN") << f.query;
  }
}

// Readings as the library parses them: a single value, or two fields with the value second.
TEST(SimulatorMeasurements, AnswerInTheFormsTheLibraryReads) {
  Bench b;
  b.establishCall();
  b.send("INIT:CFER");
  b.send("INIT:DAP");
  b.send("INIT:CPOW");
  std::string fer = b.ask("FETC:CFER:RAT?");
  EXPECT_EQ(fer.find(','), std::string::npos) << fer;
  EXPECT_EQ(fer.size(), std::string("1.250000E-02").size()) << fer;
  for (const char *q : {"FETC:DAP?", "FETC:CPOW?"}) {
    std::string a = b.ask(q);
    EXPECT_EQ(a.substr(0, 2), "0,") << a;
    EXPECT_NE(a.find('E'), std::string::npos) << a;
  }
}

double fetchPower(Bench &b, const char *mode, const char *init, const char *query) {
  b.send(std::string("CALL:CLPC:REV:MODE ") + mode);
  b.send(init);
  return Bench::power(b.ask(query));
}

TEST(SimulatorMeasurements, PowerFollowsThePowerControlMode) {
  Config cfg = quietConfig();
  Bench b(cfg);
  b.send("CALL:POW -65.00DBM");
  b.establishCall();
  double loss = cfg.cableLoss;
  EXPECT_NEAR(fetchPower(b, "UP", "INIT:DAP", "FETC:DAP?"), cfg.maxPower - loss, 1e-6);
  EXPECT_NEAR(fetchPower(b, "DOWN", "INIT:CPOW", "FETC:CPOW?"), cfg.minPower - loss, 1e-6);
  // Alternating bits leave the phone at its open-loop estimate: -73 dBm - (input power).
  double alt = fetchPower(b, "ALT", "INIT:CPOW", "FETC:CPOW?");
  EXPECT_NEAR(alt, -73.0 - (-65.0 - loss) - loss, 1e-6);
  EXPECT_GT(alt, cfg.minPower);
  EXPECT_LT(alt, cfg.maxPower);
}

TEST(SimulatorMeasurements, OpenLoopPowerDependsOnTheBandClass) {
  Bench cellular;
  cellular.send("CALL:POW -65.00DBM");
  cellular.establishCall();
  Bench pcs;
  pcs.send("CALL:BAND USPC");
  pcs.send("CALL:POW -65.00DBM");
  pcs.establishCall();
  double c = fetchPower(cellular, "ALT", "INIT:CPOW", "FETC:CPOW?");
  double p = fetchPower(pcs, "ALT", "INIT:CPOW", "FETC:CPOW?");
  EXPECT_NEAR(c - p, 3.0, 1e-6);
}

TEST(SimulatorMeasurements, PathLossCompensationRestoresThePhonesOwnPower) {
  Config cfg = quietConfig();
  cfg.cableLoss = 2.5;
  Bench b(cfg);
  b.send(kFreqCommand);
  b.send(gainCommand("-2.50"));
  b.send("SYST:CORR:STAT ON");
  b.establishCall();
  EXPECT_NEAR(fetchPower(b, "UP", "INIT:DAP", "FETC:DAP?"), cfg.maxPower, 1e-6);
  EXPECT_NEAR(fetchPower(b, "DOWN", "INIT:CPOW", "FETC:CPOW?"), cfg.minPower, 1e-6);
}

double ferAt(double cellPower, const char *fchLevel) {
  Config cfg = quietConfig();
  cfg.cableLoss = 0.0;
  Bench b(cfg);
  b.establishCall();
  b.send("SET:CFER:COUN:MAX 100000");
  b.send(std::string("CALL:CELL:FCH ") + fchLevel);
  b.send("CALL:CONN:DROP:TIM OFF");
  b.send("CALL:POW " + formatFixed(cellPower, 2) + "DBM");
  b.send("INIT:CFER");
  return Bench::single(b.ask("FETC:CFER:RAT?"));
}

// The frame error rate comes from the margin of the traffic channel over the sensitivity.
TEST(SimulatorMeasurements, FrameErrorRateFollowsTheMarginOverSensitivity) {
  double sens = quietConfig().sensitivity;
  EXPECT_NEAR(ferAt(sens, "-15.6"), 0.005, 0.0015);
  EXPECT_EQ(ferAt(sens + 20.0, "-15.6"), 0.0);
  EXPECT_GT(ferAt(sens - 1.0, "-15.6"), 0.03);
  EXPECT_DOUBLE_EQ(ferAt(sens - 4.0, "-15.6"), 1.0);
  // A stronger traffic channel at the same cell power gains its margin back.
  EXPECT_LT(ferAt(sens - 1.0, "-7.4"), 0.001);
}

TEST(SimulatorMeasurements, SingleMeasurementsKeepTheirResultContinuousOnesRefresh) {
  Config cfg;
  cfg.noise = 0.2;
  Bench single(cfg);
  single.establishCall();
  single.send("SET:DAP:CONT OFF");
  single.send("INIT:DAP");
  std::string first = single.ask("FETC:DAP?");
  EXPECT_EQ(single.ask("FETC:DAP?"), first);

  Bench continuous(cfg);
  continuous.establishCall();
  continuous.send("SET:DAP:CONT ON");
  continuous.send("INIT:DAP");
  std::set<std::string> seen;
  for (int i = 0; i < 5; ++i) seen.insert(continuous.ask("FETC:DAP?"));
  EXPECT_GT(seen.size(), 1U);
}

std::vector<std::string> readings(unsigned long long seed) {
  Config cfg;
  cfg.seed = seed;
  cfg.noise = 0.3;
  Bench b(cfg);
  b.establishCall();
  b.send("CALL:CLPC:REV:MODE UP");
  b.send("SET:DAP:CONT ON");
  b.send("INIT:DAP");
  std::vector<std::string> r;
  for (int i = 0; i < 8; ++i) r.push_back(b.ask("FETC:DAP?"));
  return r;
}

TEST(SimulatorMeasurements, NoiseIsSmallAndRepeatableFromTheSeed) {
  std::vector<std::string> a = readings(7), again = readings(7), other = readings(8);
  EXPECT_EQ(a, again);
  EXPECT_NE(a, other);
  Config cfg;
  for (const std::string &r : a)
    EXPECT_NEAR(Bench::power(r), cfg.maxPower - cfg.cableLoss - 0.0, 4 * 0.3 + 1e-9) << r;
}

// ---- Faults ------------------------------------------------------------------------------

TEST(SimulatorFaults, TimeoutOnAnOccurrenceLeavesJustThatQueryUnanswered) {
  Config cfg = quietConfig();
  std::string error;
  ASSERT_TRUE(applyOptions(cfg, "timeout_on=FETCH:DAP?#2", error)) << error;
  Bench b(cfg);
  b.establishCall();
  b.send("INIT:DAP");
  EXPECT_NE(b.ask("FETC:DAP?"), "<no answer>");
  EXPECT_EQ(b.ask("FETC:DAP?"), "<no answer>");
  EXPECT_NE(b.ask("FETC:DAP?"), "<no answer>");
  EXPECT_EQ(b.ask("FETC:CPOW?"), "NAN");
}

TEST(SimulatorFaults, TimeoutOnACommandRefusesItsMessage) {
  Config cfg = quietConfig();
  std::string error;
  ASSERT_TRUE(applyOptions(cfg, "timeout_on=CALL:ORIG", error)) << error;
  Bench b(cfg);
  b.registerPhone();
  EXPECT_FALSE(b.ts.receive("CALL:ORIG", b.now));
  b.wait(1.0);
  EXPECT_EQ(b.ts.callState(), CallState::Idle);
}

TEST(SimulatorFaults, SlowAnswersComeLateOnlyForTheChosenQueries) {
  Config cfg = quietConfig();
  std::string error;
  ASSERT_TRUE(applyOptions(cfg, "answer_delay=1.5;slow_on=CALL:CONN:STAT?", error)) << error;
  Bench b(cfg);
  b.send("CALL:CONN:STAT?");
  std::string r;
  Seconds at = kNever;
  EXPECT_FALSE(b.ts.takeResponse(b.now, r, at));
  EXPECT_DOUBLE_EQ(at, 1.5);
  EXPECT_TRUE(b.ts.takeResponse(1.5, r, at));
  EXPECT_EQ(r, "0");
  b.now = 2.0;
  b.send("CALL:SID?");
  EXPECT_TRUE(b.ts.takeResponse(b.now, r, at));
}

TEST(SimulatorFaults, UnknownHeadersInTheFaultListsAreConfigurationErrors) {
  Config cfg;
  std::string error;
  ASSERT_TRUE(applyOptions(cfg, "timeout_on=FETC:DAP?,FETC:NOPE?", error));
  EXPECT_NE(TestSet::checkConfig(cfg).find("FETC:NOPE?"), std::string::npos);
  ASSERT_TRUE(applyOptions(cfg, "timeout_on=CALL:MS:REP:ESN", error));  // query only
  EXPECT_FALSE(TestSet::checkConfig(cfg).empty());
  ASSERT_TRUE(applyOptions(cfg, "timeout_on=FETC:DAP?,CALL:END;slow_on=*IDN?", error));
  EXPECT_EQ(TestSet::checkConfig(cfg), "");
}

}  // namespace
}  // namespace zolvane_sim
