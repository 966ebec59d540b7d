#include "fixture.h"

#include <string>

namespace visa_double {

void OpenTester::SetUp() {
  reset();
  ASSERT_EQ(Zolvane_InitTester(5), 0);
  restart();
}

void OpenTester::TearDown() {
  Zolvane_ReleaseTester();
  reset();
}

Exchange errorQueueRead() { return Exchange("SYST:ERR?\n", "+0,\"No error\""); }

int expectEachStepEndsTheChain(const std::function<int()> &operation,
                               const std::vector<Exchange> &success, bool closesWithErrorRead,
                               const std::function<void()> &before) {
  int cases = 0;
  const std::size_t failing = closesWithErrorRead ? success.size() - 1 : success.size();
  for (std::size_t k = 0; k < failing; ++k) {
    for (ViStatus status : kStepFailures) {
      SCOPED_TRACE("step " + std::to_string(k) + " (" + success[k].text + ") fails with " +
                   std::to_string(status));
      if (before) before();
      std::vector<Exchange> expected(success.begin(), success.begin() + static_cast<long>(k));
      expected.emplace_back(success[k].text, std::string(), success[k].isQuery, status);
      Conversation c(expected);
      EXPECT_EQ(operation(), status);
      c.expectAllConsumed();
      ++cases;
    }
  }
  if (closesWithErrorRead) {
    for (ViStatus status : kStepFailures) {
      SCOPED_TRACE("the closing error-queue read fails with " + std::to_string(status));
      if (before) before();
      std::vector<Exchange> expected(success.begin(), success.end() - 1);
      expected.emplace_back(success.back().text, std::string(), true, status);
      Conversation c(expected);
      EXPECT_EQ(operation(), 0);
      c.expectAllConsumed();
      ++cases;
    }
  }
  return cases;
}

}  // namespace visa_double
