// Settings of the simulated test set, its phone and its faults. Read once, when the first
// resource manager is opened, from the file that ZOLVANE_SIM names and then from the
// "key=value;key=value" text of ZOLVANE_SIM_OPTIONS (which wins). README.md lists every key.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zolvane_sim {

// A command or query header as the user wrote it ("FETC:DAP?"), optionally limited to its nth
// occurrence ("FETC:DAP?#2"); nth 0 means every occurrence.
struct CommandSelector {
  std::string header;
  unsigned nth = 0;
};

struct Config {
  // The phone.
  std::string esn = "A1B2C3D4";
  double maxPower = 23.8;       // dBm, reached under power control UP
  double minPower = -56.5;      // dBm, reached under power control DOWN
  double sensitivity = -107.5;  // dBm of cell power at the phone for 0.5 % FER, FCH at -15.6 dB
  double openLoopOffset = 0.0;  // dB, the phone's error in its open-loop power estimate
  std::vector<std::string> bands{"USC", "USPC", "SEC800", "USPC1900"};  // bands it supports
  double regDelay = 0.3;        // s from CALL:REG (with the cell audible) to registration
  double connDelay = 0.2;       // s from CALL:ORIG to the connected call
  double dropDelay = 0.05;      // s from CALL:END to the released call
  double handoffDelay = 0.1;    // s the phone needs to follow a handoff to another band
  double dropTime = 1.0;        // s of lost link before the drop timer ends a call
  bool neverRegister = false;
  bool neverConnect = false;
  bool neverDrop = false;

  // The fixture: the real loss between the test set's RF port and the phone.
  double cableLoss = 0.5;  // dB

  // The instrument.
  int address = 14;          // GPIB primary address it answers on
  unsigned long long seed = 1;
  double noise = 0.05;       // dB, standard deviation of a power reading
  double measDelay = 0.05;   // s from a measurement's start (or the signal's) to its first result
  double answerDelay = 0.0;  // s before an answer, for the queries of slowOn (all when empty)
  std::vector<CommandSelector> slowOn;
  std::vector<CommandSelector> timeoutOn;  // never answered (a query) or never accepted (a command)
  double timeoutWait = 0.0;  // s a timed-out call waits, at most the session's I/O time-out

  std::string trace;  // file for the SCPI trace, "-" for stderr, empty for none

  // Answering as a recording did (replay.h), or from a learned profile (profile.h).
  std::string replay;        // a trace to replay strictly
  double replaySpeed = 1.0;  // recorded delays divided by this; 0: none
  std::string profile;       // a profile learned by zolvane_trace learn
};

// The settings' items, each trimmed, empty ones left out: items are separated by ';' or line
// feeds, and a '#' at the start of an item or after a blank starts a comment ("FETC:DAP?#2" is a
// count). `each` returns false to stop; so does forEachItem then.
bool forEachItem(std::string_view text, const std::function<bool(std::string_view item)> &each);

// Applies "key=value" items (as forEachItem reads them) to `config`.
// Returns false and names the first bad item in `error`.
bool applyOptions(Config &config, std::string_view text, std::string &error);

// The configuration from ZOLVANE_SIM (a file of key=value lines), ZOLVANE_SIM_OPTIONS and
// ZOLVANE_SIM_TRACE, in that order. Returns false with a message in `error`.
bool loadFromEnvironment(Config &config, std::string &error);

}  // namespace zolvane_sim
