#include "cell_support.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "Zolvane.h"
#include "fixture.h"

namespace vd = visa_double;

namespace cell_test {

vd::Exchange write(const std::string &command) { return vd::Exchange(command, "", false, 0); }

std::vector<vd::Exchange> setBandExchanges(const char *bandName) {
  return {
      {"CALL:OPER:MODE CALL\n"},
      {"CALL:SYSTEM DIG2000\n"},
      write(std::string("CALL:BAND ") + bandName + "\n"),
      {"CALL:PROT PREV6\n"},
      {"CALL:RCON F1R1\n"},
      {"CALL:PAG:STATE OFF\n"},
      {"CALL:CELL:FCH:STATE OFF\n"},
      vd::errorQueueRead(),
  };
}

void selectBand(int band) {
  static const char *const kNames[] = {"USC", "USPC", "SEC800", "USPC1900"};
  vd::Conversation c(setBandExchanges(kNames[band]));
  ASSERT_EQ(Zolvane_2K_SetBand(band), 0);
  c.expectAllConsumed();
}

void expectRemembersCellularBand(bool cellular) {
  SCOPED_TRACE(cellular ? "the cellular band is remembered" : "the PCS band is remembered");
  vd::Conversation c{
      {cellular ? "CALL:RFG:FREQ 825.750MHz\n" : "CALL:RFG:FREQ 1851.250MHz\n"},
      vd::errorQueueRead(),
      vd::errorQueueRead(),
  };
  EXPECT_EQ(Zolvane_2K_SetChannel(25, 1), 0);
  c.expectAllConsumed();
}

void expectEachStepEndsTheNestedChain(const std::function<int()> &operation,
                                      const std::vector<vd::Exchange> &success,
                                      const std::vector<std::size_t> &reads,
                                      const std::function<void()> &before) {
  // Up to the first read this is a plain chain without a closing read.
  const std::size_t firstRead = *std::min_element(reads.begin(), reads.end());
  vd::expectEachStepEndsTheChain(
      operation, std::vector<vd::Exchange>(success.begin(), success.begin() + firstRead),
      /*closesWithErrorRead=*/false, before);

  for (std::size_t k = firstRead; k < success.size(); ++k) {
    const bool isRead = std::find(reads.begin(), reads.end(), k) != reads.end();
    for (ViStatus status : vd::kStepFailures) {
      SCOPED_TRACE("exchange " + std::to_string(k) + " (" + success[k].text + ") fails with " +
                   std::to_string(status));
      if (before) before();
      std::vector<vd::Exchange> expected = success;
      if (!isRead) expected.erase(expected.begin() + static_cast<long>(k) + 1, expected.end());
      expected[k] = vd::Exchange(success[k].text, "", success[k].isQuery, status);
      vd::Conversation c(expected);
      EXPECT_EQ(operation(), isRead ? 0 : status);
      c.expectAllConsumed();
    }
  }
}

}  // namespace cell_test
