// The front's core: the clock, the trace, the session table, loading the configuration with
// the first resource manager, and raw I/O (writes, reads, the answer's wait, flush, device clear,
// the status byte). Resources and sessions, formatted I/O, attributes and locks each have a file
// of their own (visa_front_*.cpp).
#include "visa_front_internal.h"

#include "trace_format.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

namespace zolvane_sim {
namespace front {

std::string escaped(std::string_view bytes) {
  std::string out;
  zolvane::trace_format::appendEscaped(out, bytes);
  return out;
}

std::string nameOf(ViStatus s) {
  const char *n = statusName(s);
  return *n ? std::string(n) : std::to_string(s);
}

void copyOut(ViChar *dest, const std::string &text) {
  if (!dest) return;
  std::size_t n = std::min<std::size_t>(text.size(), kViFindBufLen - 1);
  text.copy(dest, n);
  dest[n] = '\0';
}

}  // namespace front

using front::escaped;
using front::nameOf;

SteadyClock::SteadyClock()
    : originNs_(std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count()) {}

Seconds SteadyClock::now() {
  long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now().time_since_epoch())
                     .count();
  return static_cast<double>(ns - originNs_) * 1e-9;
}

void SteadyClock::sleepUntil(Seconds t) {
  Seconds d = t - now();
  if (d > 0.0) std::this_thread::sleep_for(std::chrono::duration<double>(d));
}

bool Clock::waitUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &,
                      Seconds t) {
  if (!std::isfinite(t)) return false;
  lock.unlock();
  sleepUntil(t);
  lock.lock();
  return true;
}

bool SteadyClock::waitUntil(std::unique_lock<std::mutex> &lock, std::condition_variable &wake,
                            Seconds t) {
  if (!std::isfinite(t)) {
    wake.wait(lock);
    return true;
  }
  // A day at a time: the longest VISA time-out, 2^32 - 2 ms, is 49.7 days.
  Seconds d = std::min(t - now(), 86400.0);
  if (d > 0.0) wake.wait_for(lock, std::chrono::duration<double>(d));
  return true;
}

VisaFront::VisaFront(Loader load, Clock &clock) : load_(std::move(load)), clock_(clock) {}

VisaFront::~VisaFront() {
  if (replay_) {
    if (std::string left = replay_->leftOver(); !left.empty()) {
      trace(clock_.now(), '!', left);
      std::fprintf(stderr, "zolvane simulator: %s\n", left.c_str());
    }
  }
}

void VisaFront::trace(Seconds t, char kind, const std::string &text) {
  if (!trace_) return;
  std::string line;
  zolvane::trace_format::appendPrefix(line, t, kind);
  // The text comes escaped; a control byte that came through unescaped still ends no line.
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) zolvane::trace_format::appendEscaped(line, std::string_view(&c, 1));
    else line += c;
  }
  trace_->write(std::move(line));
}

VisaFront::Session *VisaFront::session(ViObject vi, Kind kind) {
  auto it = sessions_.find(vi);
  if (it == sessions_.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

std::string VisaFront::resourceName() const {
  return "GPIB0::" + std::to_string(config_.address) + "::INSTR";
}

ViStatus VisaFront::viOpenDefaultRM(ViSession *rm) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!rm) return kViErrorInvParameter;
  *rm = 0;
  if (!loaded_) {
    loaded_ = true;
    Config c;
    std::string error;
    if (!load_(c, error)) {
      loadError_ = error;
    } else if (std::string bad = TestSet::checkConfig(c); !bad.empty()) {
      loadError_ = bad;
    } else {
      config_ = std::move(c);
      testSet_ = std::make_unique<TestSet>(config_);
      if (!config_.trace.empty()) {
        // Appended to, a whole line at a time: stations may share one.
        auto file = std::make_unique<zolvane::trace_format::TraceFile>("zolvane simulator");
        std::string why;
        if (file->open(config_.trace, why)) {
          file->write(zolvane::trace_format::header("Zolvane simulated test set", "the simulator started"));
          trace_ = std::move(file);
        } else {
          std::fprintf(stderr, "zolvane simulator: %s: no trace\n", why.c_str());
        }
      }
      if (!config_.replay.empty()) {
        std::string why;
        replay_ = Replay::load(config_.replay, config_.replaySpeed, why);
        if (!replay_) loadError_ = "replay: " + why;
      }
      if (!config_.profile.empty()) {
        std::string why;
        profile_ = LearnedProfile::load(config_.profile, config_.seed, why);
        if (!profile_) loadError_ = "profile: " + why;
      }
      if (!loadError_.empty()) testSet_.reset();
      else testSet_->setEventSink([this](Seconds t, const std::string &e) { trace(t, '*', e); });
    }
    if (!loadError_.empty())
      std::fprintf(stderr, "zolvane simulator: %s\n", loadError_.c_str());
  }
  if (!testSet_) return kViErrorSystemError;
  ViSession h = nextHandle_++;
  sessions_[h].kind = Kind::ResourceManager;
  *rm = h;
  trace(clock_.now(), '=', "viOpenDefaultRM -> session " + std::to_string(h));
  return kViSuccess;
}

// One message with END. The instrument's parser also ends a message at a line feed inside it.
bool VisaFront::deliver(std::string bytes, Seconds now) {
  std::size_t start = 0;
  for (;;) {
    std::size_t lf = bytes.find('\n', start);
    std::string part = bytes.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
    if (!deliverOne(part, now)) return false;
    if (lf == std::string::npos) return true;
    start = lf + 1;
  }
}

bool VisaFront::deliverOne(const std::string &part, Seconds now) {
  testSet_->advance(now);  // the phone's events up to now go into the trace first
  if (trace_) trace(now, '>', escaped(part));  // a message may be a megabyte
  changed_.notify_all();
  if (!unread_.empty()) {
    testSet_->interruptAnswer(part, now);
    unread_.clear();
  }
  refusal_ = kViErrorTmo;
  if (replay_) {
    if (part.empty()) return true;  // an empty message asks nothing of an instrument
    std::string why;
    if (replay_->receive(part, now, why)) return true;
    refusal_ = replay_->status();
    trace(now, '!', why + ": " + nameOf(refusal_));
    if (!replayComplained_ && replay_->diverged()) {
      replayComplained_ = true;
      std::fprintf(stderr, "zolvane simulator: %s\n", why.c_str());
    }
    return false;
  }
  if (part.find('?') != std::string::npos) lastQuery_ = part;
  if (profile_) profile_->beforeCommand(part, testSet_->tuning());
  if (!testSet_->receive(part, now)) {
    trace(now, '!', "the test set does not accept the message: the write times out");
    return false;
  }
  return true;
}

void VisaFront::hold(std::string_view bytes) {
  std::size_t room = kMaxMessageBytes + 1 - std::min(input_.size(), kMaxMessageBytes + 1);
  input_.append(bytes.substr(0, room));
}

Seconds VisaFront::deadline(ViUInt32 tmoMs, Seconds start) {
  if (tmoMs == kViTmoInfinite) return kNever;
  return start + tmoMs / 1000.0;
}

void VisaFront::pause(std::unique_lock<std::mutex> &lock, Seconds until) {
  while (std::isfinite(until) && clock_.now() < until)
    if (!clock_.waitUntil(lock, changed_, until)) return;
}

// How long a call that will never complete waits before it reports the time-out.
void VisaFront::waitFor(std::unique_lock<std::mutex> &lock, ViUInt32 tmoMs, Seconds start,
                        Seconds wait) {
  pause(lock, std::min(deadline(tmoMs, start), start + wait));
}

// An answer that will never come fails after `giveUpAfter` seconds or the session's time-out,
// whichever is first; with an infinite time-out, at once, rather than never.
ViStatus VisaFront::awaitAnswer(std::unique_lock<std::mutex> &lock, ViSession vi,
                                Seconds giveUpAfter) {
  Session *s = instrument(vi);
  Seconds start = clock_.now();
  Seconds limit = deadline(s->tmoMs, start);
  Seconds giveUp = std::min(limit, start + giveUpAfter);
  ViUInt32 tmoMs = s->tmoMs;
  std::string response;
  for (;;) {
    if (!unread_.empty()) return kViSuccess;
    Seconds now = clock_.now();
    Seconds readyAt = kNever;
    if (replay_ ? replay_->takeResponse(now, response, readyAt)
                : testSet_->takeResponse(now, response, readyAt)) {
      if (profile_) profile_->answer(lastQuery_, testSet_->settings(), response);
      break;
    }
    if (replay_ && replay_->diverged()) {
      trace(now, '!', replay_->divergence() + ": " + nameOf(kViErrorIo));
      if (!replayComplained_) {
        replayComplained_ = true;
        std::fprintf(stderr, "zolvane simulator: %s\n", replay_->divergence().c_str());
      }
      return kViErrorIo;
    }
    if (readyAt == kNever && (now >= giveUp || !std::isfinite(giveUp))) {
      trace(now, '!', "no answer: " + nameOf(kViErrorTmo));
      return kViErrorTmo;
    }
    if (readyAt != kNever && now >= limit) {
      trace(now, '!', "no answer within " + std::to_string(tmoMs) + " ms: " + nameOf(kViErrorTmo));
      return kViErrorTmo;
    }
    clock_.waitUntil(lock, changed_, readyAt == kNever ? giveUp : std::min(readyAt, limit));
    if (!instrument(vi)) return kViErrorInvObject;  // closed by another thread meanwhile
  }
  trace(clock_.now(), '<', escaped(response));
  unread_ = std::move(response) + '\n';  // the answer ends with a line feed and END
  return kViSuccess;
}

ViStatus VisaFront::viWrite(ViSession vi, const ViByte *buf, ViUInt32 count, ViUInt32 *retCount) {
  std::unique_lock<std::mutex> lock(mu_);
  if (retCount) *retCount = 0;
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  if (!buf && count) return kViErrorUserBuf;
  Seconds now = clock_.now();
  std::string_view bytes(reinterpret_cast<const char *>(buf), count);
  // A message ends at a line feed, and at the last byte when END goes with it; the bytes up to
  // a refused message went through.
  std::size_t start = 0;
  bool refused = false;
  for (std::size_t lf; !refused && (lf = bytes.find('\n', start)) != std::string_view::npos;) {
    hold(bytes.substr(start, lf - start));
    std::string message = std::move(input_);
    input_.clear();
    refused = !deliverOne(message, now);
    if (!refused) start = lf + 1;
  }
  if (!refused && s->sendEndEn && (start < bytes.size() || !input_.empty())) {
    hold(bytes.substr(start));
    std::string message = std::move(input_);
    input_.clear();
    refused = !deliverOne(message, now);
    if (!refused) start = bytes.size();
  }
  if (refused) {
    if (retCount) *retCount = static_cast<ViUInt32>(start);
    waitFor(lock, s->tmoMs, now, config_.timeoutWait);
    return refusal_;
  }
  hold(bytes.substr(start));
  if (!input_.empty()) {
    std::string held = input_.size() <= 256 ? '"' + escaped(input_) + '"'
                                            : std::to_string(input_.size()) + " bytes";
    trace(now, '=', "the test set holds " + held + ": the message has not ended yet");
  }
  if (retCount) *retCount = count;
  return kViSuccess;
}

ViStatus VisaFront::viRead(ViSession vi, ViByte *buf, ViUInt32 count, ViUInt32 *retCount) {
  std::unique_lock<std::mutex> lock(mu_);
  if (retCount) *retCount = 0;
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  if (!buf && count) return kViErrorUserBuf;
  if (count == 0) return kViSuccessMaxCnt;
  Seconds start = clock_.now();
  if (ViStatus st = awaitAnswer(lock, vi, kNever)) return st;
  s = instrument(vi);
  std::size_t limit = std::min<std::size_t>(count, unread_.size());
  std::size_t n = 0;
  bool termChar = false;
  while (n < limit && !termChar) {
    auto c = static_cast<ViUInt8>(unread_[n++]);
    termChar = s->termCharEn && c == s->termChar;
  }
  unread_.copy(reinterpret_cast<char *>(buf), n);
  unread_.erase(0, n);
  if (retCount) *retCount = static_cast<ViUInt32>(n);
  if (unread_.empty() && !s->suppressEndEn) return kViSuccess;  // END came with the last byte
  if (termChar) return kViSuccessTermChar;
  if (n == count) return kViSuccessMaxCnt;
  // END is ignored and no termination character came: the read waits for bytes that never come.
  waitFor(lock, s->tmoMs, start, kNever);
  trace(clock_.now(), '!', "no end of the answer: " + nameOf(kViErrorTmo));
  return kViErrorTmo;
}

ViStatus VisaFront::viFlush(ViSession vi, ViUInt16 mask) {
  std::unique_lock<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (mask == 0 || (mask & ~0xFFU) ||
      ((mask & kViReadBuf) && (mask & kViReadBufDiscard)) ||
      ((mask & kViWriteBuf) && (mask & kViWriteBufDiscard)))
    return kViErrorInvMask;
  if (ViStatus st = lockedOut(vi)) return st;
  if (mask & kViWriteBufDiscard) s->writeBuffer.clear();
  if ((mask & kViWriteBuf) && !s->writeBuffer.empty()) {
    Formatted f;
    f.messages.push_back(std::move(s->writeBuffer));
    if (ViStatus st = send(lock, *s, f)) return st;
  }
  // The formatted read keeps nothing; flushing the read buffer reads the answer to its END.
  if (mask & kViReadBuf) unread_.clear();
  return kViSuccess;
}

ViStatus VisaFront::viClear(ViSession vi) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  testSet_->deviceClear(clock_.now());
  unread_.clear();
  input_.clear();
  s->writeBuffer.clear();
  changed_.notify_all();
  return kViSuccess;
}

ViStatus VisaFront::viReadSTB(ViSession vi, ViUInt16 *status) {
  std::lock_guard<std::mutex> lock(mu_);
  Session *s = instrument(vi);
  if (!s) return kViErrorInvObject;
  if (ViStatus st = lockedOut(vi)) return st;
  if (!status) return kViErrorInvParameter;
  unsigned stb = testSet_->statusByte(clock_.now()) | (unread_.empty() ? 0U : 0x10U);
  *status = static_cast<ViUInt16>(stb);
  return kViSuccess;
}

}  // namespace zolvane_sim
