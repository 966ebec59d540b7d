// The VISA side of the simulated test set: resource-manager, find-list and instrument sessions,
// resource names, attributes, raw and formatted writes and reads, the status byte, device clear,
// locks, the I/O time-out, and the trace. Each exported entry point forwards to the member of the
// same name; tests drive it directly with a clock of their own.
#pragma once

#include <cstdarg>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "profile.h"
#include "replay.h"
#include "trace_file.h"
#include "test_set.h"
#include "visa_types.h"

namespace zolvane_sim {

inline constexpr ViUInt32 kDefaultTmoMs = 2000;  // VISA's own default until one is set
// The formatted-I/O write buffer (VI_ATTR_WR_BUF_SIZE): a viPrintf that fills it sends it on
// without END, as VI_FLUSH_WHEN_FULL says; the test set holds the start of the message.
inline constexpr std::size_t kWriteBufSize = 4096;
// The longest search expression viFindRsrc takes; a longer one is VI_ERROR_INV_EXPR.
inline constexpr std::size_t kMaxSearchExpression = 4096;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Seconds now() = 0;
  virtual void sleepUntil(Seconds t) = 0;
  // Waits until `t` with `lock` released, or until `wake` is notified, and holds `lock` again.
  // False when the wait could never end (an infinite `t` on a clock that only jumps). Clocks of
  // tests jump: nothing else runs while they "wait".
  virtual bool waitUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &wake,
                         Seconds t);
};

// Seconds on the steady clock since this object was made; real sleeps.
class SteadyClock : public Clock {
 public:
  SteadyClock();
  Seconds now() override;
  void sleepUntil(Seconds t) override;
  bool waitUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &wake,
                 Seconds t) override;

 private:
  long long originNs_;
};

// The name and the standard's description of every status the simulator returns; "" for others.
const char *statusName(ViStatus s);
const char *statusDescription(ViStatus s);

class VisaFront {
 public:
  // Supplies the configuration when the first resource manager opens; false with a message.
  using Loader = std::function<bool(Config &, std::string &)>;

  VisaFront(Loader load, Clock &clock);
  ~VisaFront();
  VisaFront(const VisaFront &) = delete;
  VisaFront &operator=(const VisaFront &) = delete;

  // The entry points, one member each, with the standard's parameters.
  ViStatus viOpenDefaultRM(ViSession *rm);
  ViStatus viFindRsrc(ViSession rm, ViConstString expr, ViFindList *list, ViUInt32 *count,
                      ViChar *desc);
  ViStatus viFindNext(ViFindList list, ViChar *desc);
  ViStatus viParseRsrc(ViSession rm, ViConstString name, ViUInt16 *intfType, ViUInt16 *intfNum);
  ViStatus viParseRsrcEx(ViSession rm, ViConstString name, ViUInt16 *intfType, ViUInt16 *intfNum,
                         ViChar *rsrcClass, ViChar *expandedName, ViChar *aliasIfExists);
  ViStatus viOpen(ViSession rm, ViConstString name, ViAccessMode mode, ViUInt32 openTimeout,
                  ViSession *vi);
  ViStatus viClose(ViObject vi);
  ViStatus viSetAttribute(ViObject vi, ViAttr attr, ViAttrState value);
  ViStatus viGetAttribute(ViObject vi, ViAttr attr, void *value);
  ViStatus viStatusDesc(ViObject vi, ViStatus status, ViChar *desc);
  ViStatus viLock(ViSession vi, ViAccessMode lockType, ViUInt32 timeout,
                  ViConstString requestedKey, ViChar *accessKey);
  ViStatus viUnlock(ViSession vi);
  ViStatus viEnableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism,
                         ViEventFilter context);
  ViStatus viDisableEvent(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
  ViStatus viDiscardEvents(ViSession vi, ViEventType eventType, ViUInt16 mechanism);
  ViStatus viRead(ViSession vi, ViByte *buf, ViUInt32 count, ViUInt32 *retCount);
  ViStatus viWrite(ViSession vi, const ViByte *buf, ViUInt32 count, ViUInt32 *retCount);
  ViStatus viFlush(ViSession vi, ViUInt16 mask);
  ViStatus viClear(ViSession vi);
  ViStatus viReadSTB(ViSession vi, ViUInt16 *status);
  ViStatus viVPrintf(ViSession vi, ViConstString writeFmt, va_list params);
  ViStatus viVScanf(ViSession vi, ViConstString readFmt, va_list params);
  ViStatus viVQueryf(ViSession vi, ViConstString writeFmt, ViConstString readFmt, va_list params);

  // The names the model's tests have always used.
  ViStatus openDefaultRM(ViSession *rm) { return viOpenDefaultRM(rm); }
  ViStatus open(ViSession rm, const char *name, ViAccessMode mode, ViUInt32 openTimeout,
                ViSession *vi) {
    return viOpen(rm, name, mode, openTimeout, vi);
  }
  ViStatus setAttribute(ViObject vi, ViAttr attr, ViAttrState value) {
    return viSetAttribute(vi, attr, value);
  }
  ViStatus close(ViObject vi) { return viClose(vi); }
  ViStatus vprintf(ViSession vi, const char *writeFmt, va_list args) {
    return viVPrintf(vi, writeFmt, args);
  }
  ViStatus vqueryf(ViSession vi, const char *writeFmt, const char *readFmt, va_list args) {
    return viVQueryf(vi, writeFmt, readFmt, args);
  }

  // The test set behind the sessions, once the first resource manager opened; for tests.
  TestSet *testSet() { return testSet_.get(); }

 private:
  enum class Kind { ResourceManager, FindList, Instrument };
  struct Session {
    Kind kind = Kind::Instrument;
    ViSession owner = 0;  // the resource manager of an instrument or a find list
    ViUInt32 tmoMs = kDefaultTmoMs;
    ViUInt8 termChar = '\n';
    bool termCharEn = false;
    bool sendEndEn = true;
    bool suppressEndEn = false;
    std::string writeBuffer;  // formatted bytes not yet sent: no line feed in the format yet
    std::vector<std::string> found;  // a find list's resources not yet returned
    unsigned exclusiveLocks = 0;     // nested locks this session holds on the instrument
    unsigned sharedLocks = 0;        // with the key sharedKey_
  };

  struct Formatted {
    std::vector<std::string> messages;  // each ended by a line feed of the format
    std::string rest;                   // what stays in the write buffer
  };

  Session *session(ViObject vi, Kind kind);
  Session *instrument(ViSession vi) { return session(vi, Kind::Instrument); }
  ViStatus lockedOut(ViSession vi) const;
  bool sharedByOthers(ViSession vi) const;
  // kViSuccess when `vi` may take the lock now, kViErrorRsrcLocked while another session's lock
  // stands in the way, or a status that waiting cannot change.
  ViStatus lockable(ViSession vi, ViAccessMode type, const char *key) const;
  ViStatus acquire(std::unique_lock<std::mutex> &lock, ViSession vi, ViAccessMode type,
                   ViUInt32 timeoutMs, const char *key, ViChar *accessKey);
  void dropLocks(ViSession vi, const Session &s);
  std::string resourceName() const;
  // Formats like VISA's viPrintf; nothing is sent, so that a bad format sends nothing.
  ViStatus format(const Session &s, const char *fmt, va_list &args, bool flush, Formatted &out);
  ViStatus send(std::unique_lock<std::mutex> &lock, Session &s, Formatted &f);
  bool deliver(std::string bytes, Seconds now);
  bool deliverOne(const std::string &part, Seconds now);
  // Bytes of a message whose end has not come; past the test set's message limit only the
  // count matters, so no more is kept.
  void hold(std::string_view bytes);
  // Waits for the next answer of the instrument, with its line feed, into unread_. The library
  // lock is released while it waits; the session may be closed meanwhile.
  ViStatus awaitAnswer(std::unique_lock<std::mutex> &lock, ViSession vi, Seconds giveUpAfter);
  static Seconds deadline(ViUInt32 tmoMs, Seconds start);
  void waitFor(std::unique_lock<std::mutex> &lock, ViUInt32 tmoMs, Seconds start, Seconds wait);
  void pause(std::unique_lock<std::mutex> &lock, Seconds until);
  void trace(Seconds t, char kind, const std::string &text);

  std::mutex mu_;
  // The instrument changed: a message arrived, a lock was freed, a session closed. Every wait
  // releases mu_ and listens here, so that one session's wait holds up no other.
  std::condition_variable changed_;
  Loader load_;
  Clock &clock_;
  bool loaded_ = false;
  std::string loadError_;
  Config config_;
  std::unique_ptr<TestSet> testSet_;
  std::map<ViSession, Session> sessions_;
  ViSession nextHandle_ = 1;
  std::string input_;   // the instrument's input: bytes of a message whose end has not come
  std::string unread_;  // the instrument's output: what a raw read left of the answer
  ViSession lockOwner_ = 0;     // the session holding the exclusive lock
  std::string sharedKey_;       // the access key of the shared lock, while one is held
  unsigned keysMade_ = 0;
  std::unique_ptr<zolvane::trace_format::TraceFile> trace_;
  // Answering from a recording or a learned profile instead of the model alone.
  std::unique_ptr<Replay> replay_;
  std::unique_ptr<LearnedProfile> profile_;
  bool replayComplained_ = false;
  std::string lastQuery_;            // the query the next answer belongs to, for the profile
  ViStatus refusal_ = kViErrorTmo;   // what a refused message makes the write return
};

}  // namespace zolvane_sim
