// Strict replay: the simulator answers as a recorded test set did. Each message must be the
// recorded next one; each read gets the recorded answer, as long after its query as it came
// when recorded (divided by replay_speed; none at 0). The first message that differs ends the
// replay: from then on every exchange fails with VI_ERROR_IO, and the reason names the recorded
// call, what it expected and what came.
#pragma once

#include <memory>
#include <string>

#include "test_set.h"
#include "trace_reader.h"
#include "visa_types.h"

namespace zolvane_sim {

class Replay {
 public:
  static std::unique_ptr<Replay> load(const std::string &path, double speed, std::string &error);

  // A message arrives. False when it is refused: `why` says why, status() what the call returns
  // (VI_ERROR_IO, or the status the recorded write had).
  bool receive(const std::string &message, Seconds now, std::string &why);
  // The recorded answer once it is due. False with `readyAt` (kNever: none is coming; then
  // diverged() tells whether that is the recording's time-out or a read it did not expect).
  bool takeResponse(Seconds now, std::string &response, Seconds &readyAt);

  bool diverged() const { return diverged_; }
  const std::string &divergence() const { return divergence_; }
  ViStatus status() const { return status_; }
  // Empty when the whole recording was played; else what was left.
  std::string leftOver() const;

 private:
  bool fail(const std::string &why);
  std::string expected() const;

  std::string path_;
  double speed_ = 1.0;
  zolvane::trace::Trace trace_;
  std::size_t next_ = 0;
  Seconds queriedAt_ = 0.0;
  bool noAnswer_ = false;  // the recorded read timed out: this one waits out its time-out too
  bool diverged_ = false;
  std::string divergence_;
  ViStatus status_ = kViSuccess;
};

}  // namespace zolvane_sim
