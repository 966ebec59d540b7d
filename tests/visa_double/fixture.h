// Test fixtures and sweeps shared by the operation tests.
#pragma once

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "conversation.h"

namespace visa_double {

// Each test starts with the test set open at GPIB address 5 and an empty script; the session is
// released again at the end.
class OpenTester : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// A warning and an error: both are failures and both end a chain.
inline constexpr ViStatus kStepFailures[] = {kViErrorTmo, kViSuccessMaxCnt};

// For an operation whose successful run makes exactly the exchanges of `success` and returns 0:
// failing exchange k (k before the closing error-queue read, when `closesWithErrorRead`) with each
// status of kStepFailures must make exchanges 0..k only and return that status; a failing
// closing error-queue read must not change the result. `before` runs ahead of every try (to set
// up state such as the band). Returns the number of cases run.
int expectEachStepEndsTheChain(const std::function<int()> &operation,
                               const std::vector<Exchange> &success, bool closesWithErrorRead = true,
                               const std::function<void()> &before = {});

// The closing error-queue read of a successful chain, answered.
Exchange errorQueueRead();

}  // namespace visa_double
