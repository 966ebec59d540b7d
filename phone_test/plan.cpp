#include "plan.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <vector>

#include "Zolvane.h"
#include "report.h"
#include "station.h"

namespace phone_test {
namespace {

const char *const kBandNames[] = {"USC", "USPC", "SEC800", "USPC1900"};

// With `decimals` places and a point whatever the locale; a number of 1e15 or more (a limit of
// 1e300 is allowed) in full in the shortest exponent form that reads back the same, never cut.
std::string fixed(double v, int decimals) {
  char buf[64];
  auto [end, ec] = std::isfinite(v) && std::fabs(v) < 1e15
                       ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals)
                       : std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

std::string bandText(int band, int channel) {
  return "band " + std::to_string(band) + " " + kBandNames[band] + " channel " +
         std::to_string(channel);
}

class Clock {
 public:
  Clock() : start_(std::chrono::steady_clock::now()) {}
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// A step that only has to succeed: its status decides.
Row statusStep(const std::string &name, const std::function<int()> &op) {
  Row r;
  r.step = name;
  Clock c;
  int status = op();
  r.seconds = c.seconds();
  if (status != 0) {
    r.verdict = Verdict::Error;
    r.value = "status " + std::to_string(status);
    r.note = "status " + describeStatus(status);
  }
  return r;
}

// A step that waits for the phone: the time it took is its value.
Row waitStep(const std::string &name, int timeoutSeconds, const std::function<int()> &op,
             const std::string &onTimeOut) {
  Row r;
  r.step = name;
  r.limits = "<= " + std::to_string(timeoutSeconds) + " s";
  r.high = timeoutSeconds;
  r.unit = "s";
  Clock c;
  int status = op();
  r.seconds = c.seconds();
  r.value = fixed(r.seconds, 2) + " s";
  r.number = r.seconds;
  // The library answers 1 for a phone that did not register or connect in time (the
  // connection check also for a failed poll); any other status is the station's.
  if (status == ZOLVANE_TIMEOUT_OR_NO_CONNECTION) {
    r.verdict = Verdict::Fail;
    r.value = "timed out";
    r.number.reset();
    r.note = onTimeOut + " (status 1)";
  } else if (status != 0) {
    r.verdict = Verdict::Error;
    r.number.reset();
    r.note = "status " + describeStatus(status);
  }
  return r;
}

struct Limits {
  std::optional<double> low, high;
  std::string text(const char *unit, int decimals) const {
    if (low && high) return fixed(*low, decimals) + " .. " + fixed(*high, decimals) + " " + unit;
    if (high) return "<= " + fixed(*high, decimals) + " " + unit;
    if (low) return ">= " + fixed(*low, decimals) + " " + unit;
    return "-";
  }
  bool holds(double v) const { return (!low || v >= *low) && (!high || v <= *high); }
};

struct Measurement {
  std::string name;
  std::function<int()> init;
  std::function<int(double *)> meas;
  std::function<int()> abort;
  Limits limits;
  const char *unit;
  double scale;  // from the library's value to the reported one
  int decimals;
};

// Init, read, abort; the abort runs whatever happened before it, so that the test set is left
// with the measurement stopped.
Row measureStep(const Measurement &m) {
  Row r;
  r.step = m.name;
  r.limits = m.limits.text(m.unit, m.decimals);
  r.low = m.limits.low;
  r.high = m.limits.high;
  r.unit = m.unit;
  Clock c;
  double value = 0.0;
  int initStatus = m.init();
  int measStatus = initStatus == 0 ? m.meas(&value) : 0;
  int abortStatus = m.abort();
  r.seconds = c.seconds();
  if (initStatus != 0) {
    r.verdict = Verdict::Error;
    r.value = "status " + std::to_string(initStatus);
    r.note = "starting the measurement failed: status " + describeStatus(initStatus);
  } else if (measStatus != 0) {
    r.verdict = Verdict::Error;
    r.value = "status " + std::to_string(measStatus);
    r.note = "reading the measurement failed: status " + describeStatus(measStatus);
  } else if (value == NO_RESULT_VALUE) {
    r.verdict = Verdict::Fail;
    r.value = "no result";
    r.note = "the test set answered NAN: no call up, or the measurement is not running";
  } else {
    double shown = value * m.scale;
    r.value = fixed(shown, m.decimals) + " " + m.unit;
    r.number = shown;
    if (!m.limits.holds(shown)) r.verdict = Verdict::Fail;
  }
  if (abortStatus != 0) {
    r.verdict = Verdict::Error;
    if (!r.note.empty()) r.note += "; ";
    r.note += "stopping the measurement failed: status " + describeStatus(abortStatus);
  }
  return r;
}

// The phone's open-loop output for a cell power: -73 dBm in the 800 MHz bands and -76 dBm in
// the 1900 MHz bands, less the input power.
double openLoopPower(int band, double cellPower) {
  return (band == 1 || band == 3 ? -76.0 : -73.0) - cellPower;
}

std::vector<Measurement> measurements(const Plan &o, int band, int channel) {
  std::string where = ", band " + std::to_string(band) + " ch " + std::to_string(channel);
  Limits rolop;
  if (o.rolopMin) {
    rolop = {o.rolopMin, o.rolopMax};
  } else {
    double expected = openLoopPower(band, o.cellPower);
    rolop = {expected - o.rolopTolerance, expected + o.rolopTolerance};
  }
  int count = o.dapCount;
  return {
      {"FER" + where, Zolvane_2K_InitFER, Zolvane_2K_MeasFER, Zolvane_2K_AbortFER,
       {std::nullopt, o.ferMax}, "%", 100.0, 3},
      {"Maximum power" + where, [count] { return Zolvane_2K_InitMaxPower(count); },
       Zolvane_2K_MeasMaxPower, Zolvane_2K_AbortMaxPower, {o.maxPowerMin, o.maxPowerMax}, "dBm",
       1.0, 2},
      {"Minimum power" + where, Zolvane_2K_InitMinPower, Zolvane_2K_MeasMinPower,
       Zolvane_2K_AbortMinPower, {std::nullopt, o.minPowerMax}, "dBm", 1.0, 2},
      {"Rolop power" + where, Zolvane_2K_InitRolop, Zolvane_2K_MeasRolop, Zolvane_2K_AbortRolop,
       rolop, "dBm", 1.0, 2},
  };
}

// Runs steps while the set-up holds; once a step it depends on failed, the rest are skipped.
class Runner {
 public:
  Runner(Report &report, const StepObserver &observer) : report_(report), observer_(observer) {}

  // False once a step the rest depends on failed, or a stop was asked for.
  bool ok() const { return ok_ && !stopRequested(); }
  void starting(const std::string &step) {
    if (observer_) observer_(static_cast<int>(report_.rows().size()) + 1, step);
  }
  void gate(const Row &r) {
    report_.add(r);
    if (r.verdict != Verdict::Pass) ok_ = false;
  }
  void record(const Row &r) { report_.add(r); }
  void skip(const std::string &step, const std::string &limits = "-") {
    Row r;
    r.step = step;
    r.limits = limits;
    r.verdict = Verdict::Skip;
    report_.add(r);
  }
  template <class MakeRow>
  void gated(const std::string &step, MakeRow make) {
    if (ok()) {
      starting(step);
      gate(make());
    } else {
      skip(step);
    }
  }

 private:
  Report &report_;
  const StepObserver &observer_;
  bool ok_ = true;
};

}  // namespace

PhoneRun runPlan(const Plan &o, const std::string &where, std::FILE *out,
                 const StepObserver &observer) {
  Report report(out);
  Clock total;
  report.title("Zolvane phone test on " + where);
  report.title("Plan: " + bandText(o.band, o.channel) + ", then " +
               bandText(o.handoffBand, o.handoffChannel) + "; cell power " +
               fixed(o.cellPower, 2) + " dBm; path loss " + fixed(o.loss, 2) + " dB");
  report.header();
  Runner run(report, observer);

  std::string resource = "GPIB0::" + std::to_string(o.gpib) + "::INSTR";
  run.starting("Open test set " + resource);
  run.gate(statusStep("Open test set " + resource, [&] { return Zolvane_InitTester(o.gpib); }));
  run.gated("Reset test set", [] { return statusStep("Reset test set", Zolvane_ResetTester); });
  std::string config = "Configure CDMA2000, band " + std::to_string(o.band) + " " +
                       kBandNames[o.band];
  run.gated(config, [&] { return statusStep(config, [&] { return Zolvane_ConfigCDMA2K(o.band); }); });
  std::string tune = "Tune channel " + std::to_string(o.channel);
  run.gated(tune, [&] { return statusStep(tune, [&] { return Zolvane_2K_SetChannel(o.channel, 2); }); });
  std::string loss = "Load path loss " + fixed(o.loss, 2) + " dB";
  run.gated(loss, [&] { return statusStep(loss, [&] { return Zolvane_2K_SetLoss(o.loss); }); });
  run.gated("Overhead channels on",
            [] { return statusStep("Overhead channels on", Zolvane_2K_OpenAct); });
  std::string power = "Cell power " + fixed(o.cellPower, 2) + " dBm";
  run.gated(power, [&] {
    return statusStep(power, [&] { return Zolvane_2K_SetCellPower(o.cellPower); });
  });
  std::string network = "Network SID " + std::to_string(o.sid) + " NID " + std::to_string(o.nid);
  run.gated(network, [&] {
    return statusStep(network, [&] { return Zolvane_2K_SetNetwork(o.sid, o.nid); });
  });
  run.gated("Wait for registration", [&] {
    return waitStep("Wait for registration", o.regTimeout,
                    [&] { return Zolvane_2K_SyncNetwork(o.regTimeout); },
                    "registration time-out: the phone did not register within " +
                        std::to_string(o.regTimeout) + " s");
  });
  bool originated = run.ok();
  run.gated("Originate call", [] { return statusStep("Originate call", Zolvane_SetOrig); });
  run.gated("Confirm connection", [&] {
    return waitStep("Confirm connection", o.connectTimeout,
                    [&] { return Zolvane_CheckConnect(o.connectTimeout); },
                    "no connection within " + std::to_string(o.connectTimeout) + " s");
  });

  auto measureAll = [&](int band, int channel) {
    for (const Measurement &m : measurements(o, band, channel)) {
      if (run.ok()) {
        run.starting(m.name);
        run.record(measureStep(m));
      } else {
        run.skip(m.name, m.limits.text(m.unit, m.decimals));
      }
    }
  };
  measureAll(o.band, o.channel);

  std::string handoff = "Hand off to " + bandText(o.handoffBand, o.handoffChannel);
  run.gated(handoff, [&] {
    return statusStep(handoff, [&] { return Zolvane_2K_HandOff(o.handoffBand, o.handoffChannel); });
  });
  run.gated("Confirm connection after handoff", [&] {
    return waitStep("Confirm connection after handoff", o.connectTimeout,
                    [&] { return Zolvane_CheckConnect(o.connectTimeout); },
                    "the call did not survive the handoff");
  });
  measureAll(o.handoffBand, o.handoffChannel);

  // Also after a stop: the call is ended if it was originated, and the test set released.
  if (originated) {
    run.starting("End call");
    Row end = statusStep("End call", Zolvane_EndCall);
    // The library gives up after 5 s of a call still up and resets the test set, returning 0.
    if (end.verdict == Verdict::Pass && end.seconds >= 5.0) {
      end.verdict = Verdict::Fail;
      end.note = "the call was still up after 5 s; the reset ended it";
    }
    end.limits = "< 5 s";
    end.high = 5.0;
    end.unit = "s";
    if (end.verdict != Verdict::Error) end.number = end.seconds;
    run.record(end);
  } else {
    run.skip("End call");
  }
  run.starting("Release test set");
  run.record(statusStep("Release test set", Zolvane_ReleaseTester));
  PhoneRun result;
  result.seconds = total.seconds();
  result.verdict = report.summary(result.seconds, stopRequested());
  result.rows = report.rows();
  return result;
}

}  // namespace phone_test
