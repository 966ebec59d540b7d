// The simulator's configuration: the key=value text, the file and the environment.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "config.h"

namespace zolvane_sim {
namespace {

TEST(SimulatorConfig, EveryKindOfValueIsRead) {
  Config c;
  std::string error;
  ASSERT_TRUE(applyOptions(c,
                           " max_power = 21.5; min_power=-60;sensitivity=-104 ;esn=DEADBEEF01\n"
                           "never_register=1;never_drop=yes;never_connect=off;bands=usc, USPC\n"
                           "reg_delay=0.1;conn_delay=0.05;cable_loss=1.25;address=7;seed=99\n"
                           "timeout_on=FETC:DAP?#2, CALL:END;slow_on=FETC:CPOW?;answer_delay=0.4\n"
                           "noise=0;timeout_wait=0.25;trace=-",
                           error))
      << error;
  EXPECT_DOUBLE_EQ(c.maxPower, 21.5);
  EXPECT_DOUBLE_EQ(c.minPower, -60.0);
  EXPECT_DOUBLE_EQ(c.sensitivity, -104.0);
  EXPECT_EQ(c.esn, "DEADBEEF01");
  EXPECT_TRUE(c.neverRegister);
  EXPECT_TRUE(c.neverDrop);
  EXPECT_FALSE(c.neverConnect);
  EXPECT_EQ(c.bands, (std::vector<std::string>{"USC", "USPC"}));
  EXPECT_DOUBLE_EQ(c.regDelay, 0.1);
  EXPECT_DOUBLE_EQ(c.connDelay, 0.05);
  EXPECT_DOUBLE_EQ(c.cableLoss, 1.25);
  EXPECT_EQ(c.address, 7);
  EXPECT_EQ(c.seed, 99U);
  ASSERT_EQ(c.timeoutOn.size(), 2U);
  EXPECT_EQ(c.timeoutOn[0].header, "FETC:DAP?");
  EXPECT_EQ(c.timeoutOn[0].nth, 2U);
  EXPECT_EQ(c.timeoutOn[1].header, "CALL:END");
  EXPECT_EQ(c.timeoutOn[1].nth, 0U);
  ASSERT_EQ(c.slowOn.size(), 1U);
  EXPECT_DOUBLE_EQ(c.answerDelay, 0.4);
  EXPECT_DOUBLE_EQ(c.noise, 0.0);
  EXPECT_DOUBLE_EQ(c.timeoutWait, 0.25);
  EXPECT_EQ(c.trace, "-");
}

TEST(SimulatorConfig, CommentsAndBlankLinesAreSkipped) {
  Config c;
  std::string error;
  ASSERT_TRUE(applyOptions(c, "# a weak phone\n\n  max_power=20  # below the limit\n", error))
      << error;
  EXPECT_DOUBLE_EQ(c.maxPower, 20.0);
}

struct Bad {
  const char *text;
  const char *named;  // what the message must name
};

// A mistyped setting must stop the run: a user would otherwise test against the defaults.
TEST(SimulatorConfig, BadItemsAreNamedAndChangeNothing) {
  const Bad cases[] = {
      {"max_powr=20", "max_powr"},       {"max_power=twenty", "max_power"},
      {"max_power=20dBm", "max_power"},  {"reg_delay=-1", "reg_delay"},
      {"never_drop=maybe", "never_drop"}, {"address=31", "address"},
      {"bands=USC,GSM", "bands"},        {"timeout_on=FETC:DAP?#0", "timeout_on"},
      {"esn=", "esn"},                   {"max_power", "max_power"},
      {"noise=nan", "noise"},
  };
  for (const Bad &b : cases) {
    Config c;
    c.maxPower = 1.0;
    std::string error;
    EXPECT_FALSE(applyOptions(c, std::string("min_power=-70;") + b.text, error)) << b.text;
    EXPECT_NE(error.find(b.named), std::string::npos) << b.text << ": " << error;
    EXPECT_DOUBLE_EQ(c.maxPower, 1.0) << b.text;
    EXPECT_DOUBLE_EQ(c.minPower, Config{}.minPower) << b.text;
  }
}

TEST(SimulatorConfig, OptionsOverrideTheFileAndTheTraceVariableOverridesBoth) {
  std::string path = ::testing::TempDir() + "zolvane_sim_config_test.conf";
  {
    std::ofstream f(path);
    f << "max_power=22\nmin_power=-58\ntrace=from-file\n";
  }
  setenv("ZOLVANE_SIM", path.c_str(), 1);
  setenv("ZOLVANE_SIM_OPTIONS", "min_power=-61", 1);
  setenv("ZOLVANE_SIM_TRACE", "from-variable", 1);
  Config c;
  std::string error;
  EXPECT_TRUE(loadFromEnvironment(c, error)) << error;
  EXPECT_DOUBLE_EQ(c.maxPower, 22.0);
  EXPECT_DOUBLE_EQ(c.minPower, -61.0);
  EXPECT_EQ(c.trace, "from-variable");

  setenv("ZOLVANE_SIM", (path + ".missing").c_str(), 1);
  EXPECT_FALSE(loadFromEnvironment(c, error));
  EXPECT_NE(error.find(".missing"), std::string::npos) << error;

  unsetenv("ZOLVANE_SIM");
  setenv("ZOLVANE_SIM_OPTIONS", "cable_loss=x", 1);
  EXPECT_FALSE(loadFromEnvironment(c, error));
  EXPECT_NE(error.find("ZOLVANE_SIM_OPTIONS"), std::string::npos) << error;
  unsetenv("ZOLVANE_SIM_OPTIONS");
  unsetenv("ZOLVANE_SIM_TRACE");
  std::remove(path.c_str());
}

}  // namespace
}  // namespace zolvane_sim
