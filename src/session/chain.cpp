#include "session/chain.h"

#include "session/timing.h"

namespace zolvane {

int Step::run(Response &scratch) const {
  int status = 0;
  switch (kind_) {
    case Kind::Send:
      status = zolvane::send(text_);
      break;
    case Kind::SendInt:
      status = zolvane::send(text_, int1_);
      break;
    case Kind::SendText:
      status = zolvane::send(text_, argument_);
      break;
    case Kind::Fetch:
      status = query(text_, scratch);
      if (status == 0) extract_(scratch.text, out_);
      break;
    case Kind::CallInt:
      status = callInt_(int1_);
      break;
    case Kind::CallIntInt:
      status = callIntInt_(int1_, int2_);
      break;
    case Kind::CallDouble:
      status = callDouble_(real_);
      break;
    case Kind::Pause:
      Delay(real_);
      break;
  }
  if (status == 0 && storeTarget_ != nullptr) *storeTarget_ = storeValue_;
  return status;
}

int runChain(std::span<const Step> steps, Closing closing) {
  Response response;
  int status = 0;
  for (const Step &step : steps) {
    if (!step.runs()) continue;
    status = step.run(response);
    if (status != 0) return status;
  }
  if (closing == Closing::ErrorQueueRead) readErrorQueue(response);
  return status;
}

}  // namespace zolvane
