// The station's records on their way to the line server: in the background while phones are
// tested (--forward-to), or as a command of its own (`forward`, a service). The station database
// is the outbox; see line/forward/forward.h.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "options.h"

namespace zolvane::line {
class Forwarder;
}

namespace phone_test {

class StationForwarder {
 public:
  // Starts sending what waits in the database at `dbPath`; `error` says why it could not (no
  // token, a database that cannot be opened).
  static std::unique_ptr<StationForwarder> start(const Options &o, const std::string &dbPath,
                                                 std::string &error);
  ~StationForwarder();
  StationForwarder(const StationForwarder &) = delete;
  StationForwarder &operator=(const StationForwarder &) = delete;

  // A record was committed to the database: it goes now, without delaying the next phone.
  void committed();
  // Records not yet acknowledged by the line server, as last seen.
  std::size_t waiting() const { return waiting_; }
  // At the end of the run: stops the background sender and makes one last pass (each request
  // bounded by the forwarder's time-out); returns what still waits.
  std::size_t finish();
  // The last failure the sender saw, if any (for the operator).
  std::string lastError() const;

 private:
  StationForwarder() = default;
  std::unique_ptr<zolvane::line::Forwarder> forwarder_;
  std::atomic<std::size_t> waiting_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex errorMutex_;
  std::string lastError_;
};

// `forward`: 0, 1 records still wait (--once) or the database cannot be read, 2 no token.
int forwardCommand(const Options &o);

}  // namespace phone_test
