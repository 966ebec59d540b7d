// A test bench for the simulated test set: the model on a clock that moves only when told.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "test_set.h"

namespace zolvane_sim {

inline Config quietConfig() {
  Config c;
  c.noise = 0.0;
  return c;
}

struct Bench {
  explicit Bench(Config c = quietConfig()) : config(c), ts(std::move(c)) {
    ts.setEventSink([this](Seconds t, const std::string &e) {
      events.push_back(std::to_string(t) + " " + e);
    });
  }

  void send(std::string_view message) { EXPECT_TRUE(ts.receive(message, now)) << message; }

  // Sends a query and waits, as a read would, until its answer is ready.
  std::string ask(std::string_view query) {
    send(query);
    std::string r;
    for (int i = 0; i < 16; ++i) {
      Seconds at = kNever;
      if (ts.takeResponse(now, r, at)) return r;
      if (at == kNever) return "<no answer>";
      now = at;
    }
    return "<stuck>";
  }

  std::string nextError() { return ask("SYST:ERR?"); }

  // Every entry of the error queue, oldest first, emptying it.
  std::vector<std::string> drainErrors() {
    std::vector<std::string> all;
    for (std::string e = nextError(); e != "+0,\"No error\"" && all.size() < 40; e = nextError())
      all.push_back(e);
    return all;
  }

  void wait(Seconds d) {
    now += d;
    ts.advance(now);
  }

  void registerPhone() {
    send("CALL:REG");
    wait(config.regDelay + 0.01);
  }

  void establishCall() {
    registerPhone();
    send("CALL:ORIG");
    wait(config.connDelay + 0.01);
    ASSERT_EQ(ask("CALL:CONN:STAT?"), "1");
  }

  // The second field of a two-field power answer.
  static double power(const std::string &answer) {
    std::size_t comma = answer.find(',');
    EXPECT_NE(comma, std::string::npos) << answer;
    double v = 0.0;
    EXPECT_TRUE(parseDecimal(answer.substr(comma + 1), v)) << answer;
    return v;
  }
  static double single(const std::string &answer) {
    double v = 0.0;
    EXPECT_TRUE(parseDecimal(answer, v)) << answer;
    return v;
  }

  Config config;
  TestSet ts;
  Seconds now = 0.0;
  std::vector<std::string> events;
};

}  // namespace zolvane_sim
