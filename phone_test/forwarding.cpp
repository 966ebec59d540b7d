#include "forwarding.h"

#include <cstdio>

#include "database.h"
#include "forward.h"
#include "station.h"

namespace phone_test {
namespace {

// A station waits this long for the line server at most per request, so that a server that has
// gone quiet does not hold up the end of a run.
constexpr std::chrono::seconds kStationTimeout{5};

zolvane::line::ForwardOptions forwardOptions(const Options &o, const std::string &dbPath) {
  zolvane::line::ForwardOptions f;
  f.db = dbPath;
  f.url = o.forwardTo;
  f.timeout = kStationTimeout;
  return f;
}

}  // namespace

std::unique_ptr<StationForwarder> StationForwarder::start(const Options &o,
                                                          const std::string &dbPath,
                                                          std::string &error) {
  zolvane::line::ForwardOptions f = forwardOptions(o, dbPath);
  if (!zolvane::line::readTokenFile(o.tokenFile, f.token)) {
    error = "--token-file: cannot read a token from " + o.tokenFile;
    return nullptr;
  }
  std::unique_ptr<StationForwarder> s(new StationForwarder);
  try {
    s->forwarder_ = std::make_unique<zolvane::line::Forwarder>(f);
    s->waiting_ = s->forwarder_->waiting();
  } catch (const std::exception &e) {
    error = std::string("--forward-to: ") + e.what();
    return nullptr;
  }
  StationForwarder *self = s.get();
  s->thread_ = std::thread([self] {
    self->forwarder_->run(self->stop_, [self](const zolvane::line::ForwardPass &p) {
      self->waiting_ = p.waiting;
      std::lock_guard lock(self->errorMutex_);
      self->lastError_ = p.failed || p.refused ? p.error : std::string();
    });
  });
  return s;
}

StationForwarder::~StationForwarder() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void StationForwarder::committed() {
  ++waiting_;
  forwarder_->wake();
}

std::size_t StationForwarder::finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  try {
    const zolvane::line::ForwardPass p = forwarder_->forwardWaiting();
    waiting_ = p.waiting;
    std::lock_guard lock(errorMutex_);
    lastError_ = p.error;
  } catch (const std::exception &e) {
    std::lock_guard lock(errorMutex_);
    lastError_ = e.what();
  }
  return waiting_;
}

std::string StationForwarder::lastError() const {
  std::lock_guard lock(errorMutex_);
  return lastError_;
}

int forwardCommand(const Options &o) {
  std::string path, error;
  if (!databasePath(o, path, error) || path.empty()) {
    std::fprintf(stderr, "zolvane_phone_test: forward: %s\n",
                 error.empty() ? "no station database" : error.c_str());
    return 2;
  }
  // The service stops on SIGINT or SIGTERM: the pass under way ends first.
  installStopHandlers(false);
  std::atomic<bool> stop{false};
  std::thread watch([&stop] {
    while (!stop && !stopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
  });
  zolvane::line::ForwardOptions f = forwardOptions(o, path);
  f.timeout = std::chrono::seconds(15);
  const int status =
      zolvane::line::forwardCommand(f, o.tokenFile, o.forwardOnce, stop, "zolvane_phone_test");
  stop = true;
  watch.join();
  return status;
}

}  // namespace phone_test
