#include "measure/fetch.h"

#include "Zolvane.h"

namespace zolvane {

int fetchMeasurement(const char *query, Extract extract, double *out) {
  if (out == nullptr) return ZOLVANE_ERROR_USER_BUF;
  return runChain({Step::fetch(query, extract, out), "*CLS\n"});
}

}  // namespace zolvane
