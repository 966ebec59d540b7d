#include "replay.h"

#include "trace_format.h"

namespace zolvane_sim {
namespace {

std::string quoted(const std::string &bytes) {
  std::string out = "\"";
  zolvane::trace_format::appendEscaped(out, bytes);
  return out + "\"";
}

}  // namespace

std::unique_ptr<Replay> Replay::load(const std::string &path, double speed, std::string &error) {
  auto r = std::make_unique<Replay>();
  if (!zolvane::trace::readTrace(path, r->trace_, error)) return nullptr;
  if (r->trace_.exchanges.empty()) {
    error = path + " holds no conversation to replay";
    return nullptr;
  }
  r->path_ = path;
  r->speed_ = speed;
  return r;
}

std::string Replay::expected() const {
  if (next_ >= trace_.exchanges.size()) return "the end of the recording";
  const auto &e = trace_.exchanges[next_];
  std::string what = e.kind == zolvane::trace::Exchange::Write ? "" : "a read of ";
  return what + (e.known ? quoted(e.bytes) : "(bytes the trace does not show)");
}

bool Replay::fail(const std::string &why) {
  if (!diverged_) {
    diverged_ = true;
    status_ = kViErrorIo;
    divergence_ = "replay of " + path_ + ": " + why;
  }
  return false;
}

bool Replay::receive(const std::string &message, Seconds now, std::string &why) {
  status_ = kViErrorIo;
  noAnswer_ = false;
  if (!diverged_) {
    const auto *e = next_ < trace_.exchanges.size() ? &trace_.exchanges[next_] : nullptr;
    std::string where = e ? "call " + std::to_string(e->number) + " (line " + std::to_string(e->line) + ")"
                          : "after call " + std::to_string(trace_.exchanges.back().number);
    // A recorded write whose bytes the trace does not show takes any message.
    if (!e || e->kind != zolvane::trace::Exchange::Write || (e->known && e->bytes != message)) {
      fail(where + ": expected " + expected() + ", came " + quoted(message));
    } else {
      ++next_;
      queriedAt_ = now;
      if (e->status >= 0) return true;
      status_ = e->status;  // the recorded write failed: so does this one
      why = "as recorded at " + where + ", the write fails";
      return false;
    }
  }
  why = divergence_;
  return false;
}

bool Replay::takeResponse(Seconds now, std::string &response, Seconds &readyAt) {
  readyAt = kNever;
  if (diverged_ || noAnswer_) return false;
  if (next_ >= trace_.exchanges.size() || trace_.exchanges[next_].kind != zolvane::trace::Exchange::Read) {
    const std::string where = next_ < trace_.exchanges.size()
                                  ? "call " + std::to_string(trace_.exchanges[next_].number) + " (line " +
                                        std::to_string(trace_.exchanges[next_].line) + ")"
                                  : "the end of the recording";
    return fail(where + ": expected " + expected() + ", came a read");
  }
  const auto &e = trace_.exchanges[next_];
  if (e.status < 0 || !e.known) {
    ++next_;  // the recorded read got no answer: neither does this one
    noAnswer_ = true;
    return false;
  }
  const Seconds due = speed_ > 0 ? queriedAt_ + e.took / speed_ : now;
  if (now < due) {
    readyAt = due;
    return false;
  }
  ++next_;
  response = e.bytes;
  return true;
}

std::string Replay::leftOver() const {
  if (diverged_ || next_ >= trace_.exchanges.size()) return "";
  return "replay of " + path_ + ": " + std::to_string(trace_.exchanges.size() - next_) +
         " recorded exchanges were not made, from call " + std::to_string(trace_.exchanges[next_].number) +
         " (line " + std::to_string(trace_.exchanges[next_].line) + ") on";
}

}  // namespace zolvane_sim
