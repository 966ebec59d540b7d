// The command chain: an operation is a table of steps run in order while the status stays 0;
// the first failing step ends the chain and its status is returned; after a fully successful
// chain one error-queue read closes the operation, and its own status cannot change the result.
//
//   constexpr Step kAbortFer[] = {"INIT:CFER:OFF\n", "*CLS\n"};
//   int Zolvane_2K_AbortFER(void) { return runChain(kAbortFer); }
//
// A step is a plain command, a command with one argument, a fetch whose answer is extracted into
// the caller's double, a call of another operation, or a pause. when(false) leaves a step out;
// onSuccess() stores a value once the step has succeeded.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>

#include "session/transport.h"

namespace zolvane {

// Turns the token of a successful query into the value stored through `out`.
using Extract = void (*)(char *token, double *out);

class Step {
 public:
  // NOLINTNEXTLINE(google-explicit-constructor): a table of plain commands reads best bare.
  constexpr Step(const char *command) : kind_(Kind::Send), text_(command) {}

  static constexpr Step send(const char *format, int value) {
    Step s(format);
    s.kind_ = Kind::SendInt;
    s.int1_ = value;
    return s;
  }
  static constexpr Step send(const char *format, const char *argument) {
    Step s(format);
    s.kind_ = Kind::SendText;
    s.argument_ = argument;
    return s;
  }
  static constexpr Step fetch(const char *query, Extract extract, double *out) {
    Step s(query);
    s.kind_ = Kind::Fetch;
    s.extract_ = extract;
    s.out_ = out;
    return s;
  }
  static constexpr Step call(int (*operation)(int), int argument) {
    Step s(nullptr);
    s.kind_ = Kind::CallInt;
    s.callInt_ = operation;
    s.int1_ = argument;
    return s;
  }
  static constexpr Step call(int (*operation)(int, int), int first, int second) {
    Step s(nullptr);
    s.kind_ = Kind::CallIntInt;
    s.callIntInt_ = operation;
    s.int1_ = first;
    s.int2_ = second;
    return s;
  }
  static constexpr Step call(int (*operation)(double), double argument) {
    Step s(nullptr);
    s.kind_ = Kind::CallDouble;
    s.callDouble_ = operation;
    s.real_ = argument;
    return s;
  }
  static constexpr Step pause(double seconds) {
    Step s(nullptr);
    s.kind_ = Kind::Pause;
    s.real_ = seconds;
    return s;
  }

  constexpr Step when(bool runs) const {
    Step s = *this;
    s.runs_ = runs;
    return s;
  }
  constexpr Step onSuccess(int *target, int value) const {
    Step s = *this;
    s.storeTarget_ = target;
    s.storeValue_ = value;
    return s;
  }

  constexpr bool runs() const { return runs_; }
  // Runs the step; `scratch` receives a fetch's answer.
  int run(Response &scratch) const;

 private:
  enum class Kind { Send, SendInt, SendText, Fetch, CallInt, CallIntInt, CallDouble, Pause };

  Kind kind_;
  bool runs_ = true;
  const char *text_;
  const char *argument_ = nullptr;
  int int1_ = 0;
  int int2_ = 0;
  double real_ = 0.0;
  Extract extract_ = nullptr;
  double *out_ = nullptr;
  int (*callInt_)(int) = nullptr;
  int (*callIntInt_)(int, int) = nullptr;
  int (*callDouble_)(double) = nullptr;
  int *storeTarget_ = nullptr;
  int storeValue_ = 0;
};

enum class Closing { ErrorQueueRead, Nothing };

int runChain(std::span<const Step> steps, Closing closing = Closing::ErrorQueueRead);
inline int runChain(std::initializer_list<Step> steps, Closing closing = Closing::ErrorQueueRead) {
  return runChain(std::span<const Step>(steps.begin(), steps.size()), closing);
}

}  // namespace zolvane
