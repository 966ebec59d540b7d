// The VISA side of the simulated test set: resource-manager and instrument sessions, the
// formatted write and read of viPrintf and viQueryf, the I/O time-out, and the trace. The six
// exported entry points forward here; tests drive it directly with a clock of their own.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "session/visa_api.h"
#include "test_set.h"

namespace zolvane_sim {

inline constexpr ViStatus kViErrorNsupAttr = static_cast<ViStatus>(0xBFFF001DU);
inline constexpr ViStatus kViWarnNullObject = 0x3FFF0082;
inline constexpr ViUInt32 kViTmoInfinite = 0xFFFFFFFFU;
inline constexpr ViUInt32 kDefaultTmoMs = 2000;  // VISA's own default until one is set

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Seconds now() = 0;
  virtual void sleepUntil(Seconds t) = 0;
};

// Seconds on the steady clock since this object was made; real sleeps.
class SteadyClock : public Clock {
 public:
  SteadyClock();
  Seconds now() override;
  void sleepUntil(Seconds t) override;

 private:
  long long originNs_;
};

class VisaFront {
 public:
  // Supplies the configuration when the first resource manager opens; false with a message.
  using Loader = std::function<bool(Config &, std::string &)>;

  VisaFront(Loader load, Clock &clock);
  ~VisaFront();
  VisaFront(const VisaFront &) = delete;
  VisaFront &operator=(const VisaFront &) = delete;

  ViStatus openDefaultRM(ViSession *rm);
  ViStatus open(ViSession rm, const char *name, ViAccessMode mode, ViUInt32 openTimeout,
                ViSession *vi);
  ViStatus setAttribute(ViObject vi, ViAttr attr, ViAttrState value);
  ViStatus close(ViObject vi);
  ViStatus vprintf(ViSession vi, const char *writeFmt, va_list args);
  ViStatus vqueryf(ViSession vi, const char *writeFmt, const char *readFmt, va_list args);

  // The test set behind the sessions, once the first resource manager opened; for tests.
  TestSet *testSet() { return testSet_.get(); }

 private:
  struct Session {
    bool resourceManager = false;
    ViSession owner = 0;  // an instrument's resource manager
    ViUInt32 tmoMs = kDefaultTmoMs;
    std::string writeBuffer;  // formatted bytes not yet sent: no line feed in the format yet
  };

  struct Formatted {
    std::vector<std::string> messages;  // each ended by a line feed of the format
    std::string rest;                   // what stays in the write buffer
  };

  Session *instrument(ViSession vi);
  // Formats like VISA's viPrintf; nothing is sent, so that a bad format sends nothing.
  ViStatus format(const Session &s, const char *fmt, va_list &args, bool flush, Formatted &out);
  ViStatus send(Session &s, Formatted &f);
  bool deliver(Session &s, std::string bytes, Seconds now);
  Seconds deadline(const Session &s, Seconds start) const;
  void waitFor(const Session &s, Seconds start, Seconds wait);
  void trace(Seconds t, char kind, const std::string &text);

  std::mutex mu_;
  Loader load_;
  Clock &clock_;
  bool loaded_ = false;
  std::string loadError_;
  Config config_;
  std::unique_ptr<TestSet> testSet_;
  std::map<ViSession, Session> sessions_;
  ViSession nextHandle_ = 1;
  std::FILE *trace_ = nullptr;
  bool ownTrace_ = false;
};

}  // namespace zolvane_sim
