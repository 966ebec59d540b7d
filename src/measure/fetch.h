// The one shape every measurement read shares: a fetch into the caller's double, then "*CLS".
#pragma once

#include "session/chain.h"

namespace zolvane {

// Refuses a null `out` with ZOLVANE_ERROR_USER_BUF before anything is sent. A failed fetch
// leaves `*out` as it was and ends the chain there.
int fetchMeasurement(const char *query, Extract extract, double *out);

}  // namespace zolvane
