// Opening, resetting and releasing the test set, through the real library and the VISA double.
#include <climits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "conversation.h"
#include "fixture.h"
#include "visa_double.h"

namespace vd = visa_double;
using vd::Conversation;
using vd::Fail;

namespace {

const std::vector<std::string> kInitTranscript = {
    "openDefaultRM",
    "open \"GPIB0::5::INSTR\" mode 0 timeout 0",
    "setAttribute 0x3FFF001A 20000",
    "write \"*CLS\\n\"",
};

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    Zolvane_ReleaseTester();
    vd::reset();
  }
  void TearDown() override {
    Zolvane_ReleaseTester();
    vd::reset();
  }
};

TEST_F(Session, InitTesterOpensTheAddressSetsTheTimeOutAndClearsStatus) {
  ASSERT_EQ(Zolvane_InitTester(5), 0);
  EXPECT_EQ(vd::transcript(), kInitTranscript);

  const auto events = vd::events();
  ASSERT_EQ(events.size(), 4U);
  const ViSession rm = events[0].outSession;
  const ViSession instr = events[1].outSession;
  EXPECT_NE(rm, 0U);
  EXPECT_NE(instr, 0U);
  EXPECT_EQ(events[1].session, rm);
  EXPECT_EQ(events[2].session, instr);
  EXPECT_EQ(events[3].session, instr);
  EXPECT_TRUE(events[3].endsWithFormatNewline);
  EXPECT_EQ(vd::openResourceManagers(), 1U);
  EXPECT_EQ(vd::openSessions(), 1U);
}

TEST_F(Session, ResourceNameCarriesTheAddressUnchanged) {
  const struct {
    int address;
    const char *resource;
    ViStatus status;  // the double opens GPIB0::0..30::INSTR only
  } cases[] = {
      {0, "GPIB0::0::INSTR", 0},
      {14, "GPIB0::14::INSTR", 0},
      {30, "GPIB0::30::INSTR", 0},
      {31, "GPIB0::31::INSTR", kViErrorRsrcNfound},
      {-1, "GPIB0::-1::INSTR", kViErrorRsrcNfound},
      {INT_MIN, "GPIB0::-2147483648::INSTR", kViErrorRsrcNfound},
      {INT_MAX, "GPIB0::2147483647::INSTR", kViErrorRsrcNfound},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.resource);
    vd::reset();
    EXPECT_EQ(Zolvane_InitTester(c.address), c.status);
    const auto events = vd::events();
    ASSERT_GE(events.size(), 2U);
    EXPECT_EQ(events[1].fn, vd::Fn::Open);
    EXPECT_EQ(events[1].text, c.resource);
    EXPECT_EQ(events.size(), c.status == 0 ? 4U : 2U);
    Zolvane_ReleaseTester();
  }
}

// Each step of the open fails in turn, with an error and with a warning: the later steps are not
// made and the status comes back unchanged.
TEST_F(Session, AFailingOpenStepEndsTheOpenWithItsStatus) {
  const char *stepText[] = {"viOpenDefaultRM", "GPIB0::5::INSTR", "viSetAttribute", "*CLS\n"};
  for (std::size_t k = 0; k < 4; ++k) {
    for (ViStatus status : vd::kStepFailures) {
      SCOPED_TRACE(std::string(stepText[k]) + " fails with " + std::to_string(status));
      vd::reset();
      vd::failOn(stepText[k], 1, status);
      EXPECT_EQ(Zolvane_InitTester(5), status);
      auto expected = std::vector<std::string>(kInitTranscript.begin(),
                                               kInitTranscript.begin() + static_cast<long>(k) + 1);
      expected.back() += " failed " + std::to_string(status);
      EXPECT_EQ(vd::transcript(), expected);
      // Nothing is closed by a failed open.
      EXPECT_EQ(vd::openResourceManagers(), k == 0 ? 0U : 1U);
      EXPECT_EQ(vd::openSessions(), k < 2 ? 0U : 1U);
      Zolvane_ReleaseTester();
    }
  }
}

TEST_F(Session, AFailedOpenThatLeftNoSessionWritesOnSessionZeroAndReleaseClosesItsResourceManager) {
  vd::failOn("GPIB0::5::INSTR", 1, kViErrorRsrcNfound);
  EXPECT_EQ(Zolvane_InitTester(5), kViErrorRsrcNfound);
  const ViSession rm = vd::events()[0].outSession;
  vd::restart();
  EXPECT_EQ(Zolvane_ResetTester(), kViErrorInvObject);
  EXPECT_EQ(vd::events()[0].session, 0U);
  EXPECT_EQ(Zolvane_ReleaseTester(), 0);
  EXPECT_EQ(vd::transcript(),
            (std::vector<std::string>{"write \"*RST\\n\" failed " + std::to_string(kViErrorInvObject),
                                      "close rm"}));
  EXPECT_EQ(vd::events()[1].session, rm);
  EXPECT_EQ(vd::openResourceManagers(), 0U);
  // Retrying an absent instrument leaves nothing open behind it.
  for (int attempt = 0; attempt < 3; ++attempt) {
    vd::restart();
    vd::failOn("GPIB0::5::INSTR", 1, kViErrorRsrcNfound);
    EXPECT_EQ(Zolvane_InitTester(5), kViErrorRsrcNfound);
    EXPECT_EQ(Zolvane_ReleaseTester(), 0);
  }
  EXPECT_EQ(vd::openResourceManagers(), 0U);
  vd::restart();
  EXPECT_EQ(Zolvane_ReleaseTester(), 0);
  EXPECT_TRUE(vd::events().empty());
}

TEST_F(Session, AFailedOpenKeepsWhatVisaWroteToTheSession) {
  vd::setFailedOpenOut(0x77);
  vd::failOn("GPIB0::5::INSTR", 1, kViErrorIo);
  EXPECT_EQ(Zolvane_InitTester(5), kViErrorIo);
  vd::restart();
  EXPECT_EQ(Zolvane_ResetTester(), kViErrorInvObject);
  EXPECT_EQ(vd::events().at(0).session, 0x77U);
}

TEST_F(Session, ReleaseWithNothingOpenMakesNoVisaCall) {
  EXPECT_EQ(Zolvane_ReleaseTester(), 0);
  EXPECT_TRUE(vd::events().empty());
}

TEST_F(Session, ReleaseClosesTheSessionThenTheResourceManager) {
  ASSERT_EQ(Zolvane_InitTester(5), 0);
  const ViSession rm = vd::events()[0].outSession;
  const ViSession instr = vd::events()[1].outSession;
  vd::restart();
  EXPECT_EQ(Zolvane_ReleaseTester(), 0);
  EXPECT_EQ(vd::transcript(), (std::vector<std::string>{"close instr", "close rm"}));
  EXPECT_EQ(vd::events()[0].session, instr);
  EXPECT_EQ(vd::events()[1].session, rm);
  EXPECT_EQ(vd::openResourceManagers(), 0U);
  // Closed again: the next release has nothing to do.
  vd::restart();
  EXPECT_EQ(Zolvane_ReleaseTester(), 0);
  EXPECT_TRUE(vd::events().empty());
}

TEST_F(Session, ReleaseWhoseFirstCloseFailsKeepsTheResourceManagerButClearsBothHandles) {
  for (ViStatus status : vd::kStepFailures) {
    SCOPED_TRACE(status);
    vd::reset();
    ASSERT_EQ(Zolvane_InitTester(5), 0);
    vd::restart();
    vd::failAt(0, status);
    EXPECT_EQ(Zolvane_ReleaseTester(), status);
    EXPECT_EQ(vd::transcript(),
              (std::vector<std::string>{"close instr failed " + std::to_string(status)}));
    EXPECT_EQ(vd::openResourceManagers(), 1U);
    // Both handles are 0 now: writes go to session 0 and a release does nothing.
    vd::restart();
    EXPECT_EQ(Zolvane_ResetTester(), kViErrorInvObject);
    EXPECT_EQ(vd::events().at(0).session, 0U);
    EXPECT_EQ(Zolvane_ReleaseTester(), 0);
    EXPECT_EQ(vd::events().size(), 1U);
  }
}

TEST_F(Session, ReleaseWhoseSecondCloseFailsReturnsThatStatus) {
  ASSERT_EQ(Zolvane_InitTester(5), 0);
  vd::restart();
  vd::failAt(1, kViErrorIo);
  EXPECT_EQ(Zolvane_ReleaseTester(), kViErrorIo);
  EXPECT_EQ(vd::transcript(),
            (std::vector<std::string>{"close instr", "close rm failed " + std::to_string(kViErrorIo)}));
}

TEST_F(Session, ResetSendsOnlyTheResetCommand) {
  ASSERT_EQ(Zolvane_InitTester(5), 0);
  Conversation c{{"*RST\n"}};
  EXPECT_EQ(Zolvane_ResetTester(), 0);
  c.expectAllConsumed();
}

TEST_F(Session, ResetReturnsTheStatusOfItsWrite) {
  ASSERT_EQ(Zolvane_InitTester(5), 0);
  for (ViStatus status : vd::kStepFailures) {
    Conversation c{{"*RST\n", Fail{status}}};
    EXPECT_EQ(Zolvane_ResetTester(), status);
    c.expectAllConsumed();
  }
}

TEST_F(Session, BeforeInitOperationsWriteOnSessionZeroAndFail) {
  EXPECT_EQ(Zolvane_ResetTester(), kViErrorInvObject);
  EXPECT_EQ(Zolvane_ReleaseTester(), 0);
  const auto events = vd::events();
  ASSERT_EQ(events.size(), 1U);
  EXPECT_EQ(events[0].session, 0U);
  EXPECT_EQ(events[0].status, kViErrorInvObject);
}

TEST_F(Session, InitWhileOpenOpensAFreshPairAndReleaseClosesTheNewOne) {
  ASSERT_EQ(Zolvane_InitTester(5), 0);
  ASSERT_EQ(Zolvane_InitTester(6), 0);
  EXPECT_EQ(vd::openResourceManagers(), 2U);
  const ViSession secondRm = vd::events()[4].outSession;
  vd::restart();
  EXPECT_EQ(Zolvane_ReleaseTester(), 0);
  ASSERT_EQ(vd::events().size(), 2U);
  EXPECT_EQ(vd::events()[1].session, secondRm);
  EXPECT_EQ(vd::openResourceManagers(), 1U);
}

}  // namespace
