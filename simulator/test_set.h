// The simulated CDMA2000 test set and the one phone on its RF port.
//
// State is set by commands (a table from SCPI header to handler), errors go to an error queue,
// the phone registers, connects, follows handoffs and drops with its own timings, and every
// measurement is computed from the state at the moment it is fetched. Time is passed in by the
// caller (seconds on any monotonic clock), so the model runs as fast in a unit test as a number
// allows; the VISA front supplies the real clock and does the real waiting.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "radio.h"
#include "scpi.h"

namespace zolvane_sim {

using Seconds = double;
inline constexpr Seconds kNever = std::numeric_limits<double>::infinity();
// The longest program message the test set takes; a longer one is refused whole with -223
// "Too much data" in the error queue.
inline constexpr std::size_t kMaxMessageBytes = std::size_t{1} << 20;

struct Measurement {
  bool running = false;
  bool continuous = false;
  bool countOn = false;
  int count = 1;
  bool timeoutOn = false;
  double timeout = 10.0;  // s
  Seconds startedAt = 0.0;
  bool haveResult = false;  // a single (not continuous) measurement keeps its one result
  std::string result;
};

// What *RST restores.
struct Settings {
  std::string operMode = "CALL";
  std::string system = "DIG2000";
  std::string band = "USC";
  int channel = 384;
  std::string protocol = "PREV6";
  std::string radioConfig = "F1R1";
  bool pilotOn = true;
  double pilotLevel = -7.0;  // dB relative to the cell power
  bool syncOn = true;
  double syncLevel = -16.0;
  bool pagingOn = true;
  double pagingLevel = -12.0;
  bool fchOn = true;
  double fchLevel = -15.6;
  double cellPower = -50.0;  // dBm
  int sid = 1;
  int nid = 1;
  std::string reversePowerControl = "ACT";
  bool dropTimerOn = true;
  double rfgFrequencyHz = 836.52e6;
  std::string rfPort = "IO";
  bool correctionOn = false;
  std::vector<double> correctionFreqHz;
  std::vector<double> correctionGainDb;
  std::string setupSystem = "DIG2000";
  std::string setupBand = "USC";
  int setupChannel = 384;
  bool afgOn = false;
  std::string displayMode = "TRACK";
  bool cferConfidenceOn = false;
  std::string cferConfidenceLevel = "95PCT";
  double cferRequirement = 0.5;  // %
  int cferCountMax = 1000;
  int cferCountMin = 100;
  std::string cpowSpeed = "NORM";
  Measurement cfer, dap, cpow, capp, atxp, fm, afan;
};

enum class CallState { Idle, Connecting, Connected, Releasing, HandingOff };

class TestSet {
 public:
  using EventSink = std::function<void(Seconds, const std::string &)>;

  // Empty when the configuration can run; otherwise what is wrong with it (an unknown header
  // in timeout_on or slow_on).
  static std::string checkConfig(const Config &config);

  explicit TestSet(Config config);

  // Phone and call events, and every error queued, as text for the trace.
  void setEventSink(EventSink sink) { sink_ = std::move(sink); }

  // A program message arrives (without its terminator). Returns false when a fault makes the
  // instrument refuse it: nothing of it is done and the write times out. One over
  // kMaxMessageBytes is not run: it queues -223.
  bool receive(std::string_view message, Seconds now);

  // The next response message, once it is ready. Without one, `readyAt` tells when one will be
  // (kNever: none is coming).
  bool takeResponse(Seconds now, std::string &response, Seconds &readyAt);

  // Runs the phone and the call up to `now` and the commands that were waiting.
  void advance(Seconds now);

  // The status byte a serial poll reads: bit 2 while the error queue holds an entry, bit 4 (MAV)
  // while an answer waits in the output queue.
  unsigned statusByte(Seconds now);

  // Device clear: the input and output queues are emptied; settings and errors stay.
  void deviceClear(Seconds now);

  // The controller left an answer partly unread and sends a new message: the rest is lost.
  void interruptAnswer(std::string_view message, Seconds now);

  // For tests and the trace.
  const Settings &settings() const { return s_; }
  const Config &config() const { return config_; }
  // The delays a learned profile draws afresh before each command.
  Config &tuning() { return config_; }
  bool registered() const { return registered_; }
  CallState callState() const { return call_; }
  std::size_t errorCount() const { return errors_.size(); }
  double powerAtPhone() const;   // dBm of total cell power reaching the phone
  double phoneTxPower() const;   // dBm the phone transmits

  struct Reply {
    bool ready = true;
    std::string text;
    Seconds notBefore = 0.0;
  };
  struct Entry;

 private:
  struct Pending {
    ParsedCommand command;
    int entry = -1;
    bool dropped = false;  // a query that a fault leaves unanswered
    Seconds notBefore = 0.0;
  };
  struct Message {
    std::vector<Pending> commands;
    std::size_t next = 0;
    int parseError = 0;
    bool hasQuery = false;
    bool interrupted = false;
    std::string response;
    bool responseStarted = false;
  };
  struct Selector {
    int entry = -1;
    bool query = false;
    unsigned nth = 0;
    unsigned seen = 0;
  };

  static const std::vector<Entry> &table();
  static int findEntry(const ParsedCommand &command);
  static std::vector<Selector> resolve(const std::vector<CommandSelector> &list, std::string *error);
  bool selected(std::vector<Selector> &list, int entry, bool query);

  void run(Seconds now);
  bool execute(Pending &p, Message &m, Seconds now);
  void pushError(int code, const std::string &context, Seconds now);
  unsigned stb() const;
  void event(Seconds t, const std::string &text);

  // The model.
  void reset(Seconds now);
  void settle(Seconds now);
  void endCall(Seconds now, const std::string &why);
  bool stepEvents(Seconds now);  // applies the earliest phone event due by `now`, if any
  bool bandSupported(const std::string &band) const;
  const Band &currentBand() const;
  double correctionGain(double freqHz) const;
  bool cellActive() const;
  bool phoneHearsCell() const;
  double fchMargin() const;
  bool linkOk() const;
  bool signalUp() const { return call_ == CallState::Connected || call_ == CallState::Releasing; }
  double measuredPower() const;
  double gaussian();
  Reply fetch(Measurement &m, Seconds now, const std::function<std::string()> &compute);
  std::string fetchFer();
  std::string fetchPower(const Measurement &m);
  int startHandoff(Seconds now);

  Config config_;
  Settings s_;
  EventSink sink_;
  std::mt19937_64 rng_;
  std::deque<std::string> errors_;  // "-113,\"Undefined header\""
  unsigned esr_ = 0;                // the standard event status register, read and cleared by *ESR?
  std::deque<Message> input_;
  std::deque<std::string> output_;
  std::vector<Selector> slow_, timeouts_;
  Seconds blockedUntil_ = kNever;  // when the query that holds up the input may be answered

  // The phone and the call.
  bool registered_ = false;
  bool regRequested_ = false;
  Seconds regRequestedAt_ = 0.0;
  Seconds hearsSince_ = kNever;
  CallState call_ = CallState::Idle;
  Seconds connectAt_ = kNever;
  Seconds releaseAt_ = kNever;
  Seconds handoffDoneAt_ = kNever;
  Seconds linkLostSince_ = kNever;
  Seconds signalSince_ = kNever;

  friend struct TableBuilder;
};

const char *callStateName(CallState s);

}  // namespace zolvane_sim
