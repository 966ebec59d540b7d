// Store-and-forward from a station to the line server. The station's own SQLite database is the
// outbox: its phone_run rows with forwarded_at NULL are sent, oldest first, in batches, as their
// record_json; a row is marked forwarded only when the server has acknowledged its id. The
// server's insert is idempotent, so any retry after any failure is safe; nothing here is lost
// or doubled by a crash of either side.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace zolvane::line {

struct ForwardOptions {
  std::string db;     // the station's database
  std::string url;    // the line server, http://HOST:PORT
  std::string token;  // sent as "Authorization: Bearer TOKEN"
  std::size_t batch = 100;
  std::chrono::milliseconds firstBackoff{500}, maxBackoff{30000};  // after a failed batch
  std::chrono::milliseconds idlePoll{1000};  // how often an idle forwarder looks again
  std::chrono::seconds timeout{15};          // connect, read and write, each
};

// What one pass did.
struct ForwardPass {
  std::size_t sent = 0;          // records posted
  std::size_t acknowledged = 0;  // marked forwarded
  std::size_t waiting = 0;       // still waiting after the pass
  std::size_t refused = 0;       // records the server refused as malformed (left waiting)
  bool failed = false;           // the pass stopped on a failure (server or network down, token)
  std::string error;             // what the last failure was
};

class Forwarder {
 public:
  explicit Forwarder(ForwardOptions options);
  ~Forwarder();
  Forwarder(const Forwarder &) = delete;
  Forwarder &operator=(const Forwarder &) = delete;

  // Sends what waits, a batch at a time, until nothing waits or a batch fails. Throws only when
  // the station's database cannot be read or written.
  ForwardPass forwardWaiting();
  // Records waiting (refused ones included).
  std::size_t waiting();

  // Forwards until `stop` is set: after a failure it waits a bounded, growing time (with jitter,
  // so that a line of stations does not return at once); idle, it looks again every idlePoll or
  // when woken. `report` hears each pass that did something or failed.
  void run(const std::atomic<bool> &stop,
           const std::function<void(const ForwardPass &)> &report = {});
  // A record was committed: look now rather than at the next poll. Safe from any thread.
  void wake();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The delay before the next try after `failures` failed ones in a row: doubling from `first`,
// never above `most`, with up to a quarter taken off at random (`random` in [0, 1)).
std::chrono::milliseconds backoff(unsigned failures, std::chrono::milliseconds first,
                                  std::chrono::milliseconds most, double random);

// The token in `file`, trailing white space taken off; false when it cannot be read or is empty.
bool readTokenFile(const std::string &file, std::string &token);

// `forward` as a command of a program: with `once`, one pass (0 when nothing waits after it, 1
// when records still wait); else passes until `stop` (0). 2 when there is no token, 1 when the
// station's database cannot be opened. One line per pass that did something on standard error,
// prefixed with `program`.
int forwardCommand(ForwardOptions options, const std::string &tokenFile, bool once,
                   const std::atomic<bool> &stop, const char *program);

}  // namespace zolvane::line
