// What one operation costs above VISA, against the null VISA: time beside a baseline that makes
// the same VISA calls through the same entry points, VISA calls against the minimum the steps
// need, heap allocations, and how far the polling loops run past their limits.
#include "micro.h"

#include <dlfcn.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Zolvane.h"
#include "heap_count.h"
#include "null_visa.h"
#include "session/visa_api.h"

namespace bench {
namespace {

// The first name the library's binding tries; the loader path makes it the null VISA.
constexpr const char *kVisaName = "libivivisa.so.7";
constexpr int kGpibAddress = 14;

constexpr const char *kErrorQuery = "SYST:ERR?\n";
constexpr const char *kNoError = "+0,\"No error\"";
constexpr const char *kConnectionQuery = "CALL:CONN:STAT?\n";
constexpr const char *kEsnQuery = "CALL:MS:REP:ESN?\n";
constexpr const char *kReadToken = "%255s";

// The entry points the library bound, looked up in the same loaded VISA.
struct Entry {
  ViPrintfFn printf = nullptr;
  ViQueryfFn queryf = nullptr;
};
Entry visa;
ViSession instrument = 0;

char *text(const char *s) { return const_cast<char *>(s); }

void answerAsAnInstrument() {
  null_visa::setAnswer(kErrorQuery, kNoError);
  null_visa::setAnswer("FETC:DAP?\n", "0,2.312000E+01");
  null_visa::setAnswer("FETC:CPOW?\n", "0,-5.650000E+01");
  null_visa::setAnswer("FETC:CFER:RAT?\n", "1.250000E-02");
  null_visa::setAnswer(kEsnQuery, "A1B2C3D4");
  null_visa::setAnswer(kConnectionQuery, "1");
}

// The baselines: what a program calling VISA itself would send for the same operation, statuses
// chained the same way, with every text ready beforehand.
char baselineAnswer[256];

int errorQueueRead() {
  return visa.queryf(instrument, text(kErrorQuery), text(kReadToken), baselineAnswer);
}

int baselineOneStep() {
  int status = visa.printf(instrument, text("RFGenerator:OUTPut IO\n"));
  if (status == 0) errorQueueRead();
  return status;
}

constexpr const char *kInitFer[] = {
    "CALL:PIL:STATE ON\n",     "CALL:PIL -7\n",          "CALL:CELL:FCH:STATE ON\n",
    "CALL:CELL:FCH -15.6\n",   "SET:CFER:CONF:STAT ON\n", "SET:CFER:CONF:LEV 95PCT\n",
    "SET:CFER:CONF:REQ 5\n",   "SET:CFER:COUN:MAX 1000\n", "SET:CFER:COUN:MIN 50\n",
    "SET:CFER:CONT ON\n",      "SET:CFER:TIM:STAT OFF\n", "INIT:CFER\n",
};

int baselineTwelveSteps() {
  int status = 0;
  for (const char *command : kInitFer) {
    status = visa.printf(instrument, text(command));
    if (status != 0) return status;
  }
  errorQueueRead();
  return status;
}

constexpr double kLoss = 0.5;
char lossFrequencies[512];
char lossGains[512];

void prepareLossTexts() {
  std::snprintf(lossFrequencies, sizeof lossFrequencies, "%s",
                "SYST:CORR:FREQ 800000000,825570000,825600000,847410000,847440000,1000000000,"
                "1010000000,1712500000,1712550000,1751850000,1751900000,1790000000,1800000000,"
                "1853750000,1853800000,1906250000,1906300000,2200000000\n");
  int n = std::snprintf(lossGains, sizeof lossGains, "SYST:CORR:GAIN ");
  for (int i = 0; i < 18; ++i) {
    n += std::snprintf(lossGains + n, sizeof lossGains - static_cast<std::size_t>(n), "%s-0.50",
                       i == 0 ? "" : ",");
  }
  std::snprintf(lossGains + n, sizeof lossGains - static_cast<std::size_t>(n), "\n");
}

int baselineSetLoss() {
  int status = visa.printf(instrument, lossFrequencies);
  if (status == 0) status = visa.printf(instrument, lossGains);
  if (status == 0) status = visa.printf(instrument, text("SYST:CORR:STAT ON\n"));
  if (status == 0) errorQueueRead();
  return status;
}

double measured = 0.0;

// The same calls, with the number work a program calling VISA itself must do for the operation
// done the cheapest standard way: std::to_chars for what is written, std::from_chars for what
// is read (VISA's own %f follows the process locale, so it will not do).
int baselineSetLossConverting() {
  char gain[32];
  const auto [end, ec] =
      std::to_chars(gain, gain + sizeof gain, -kLoss, std::chars_format::fixed, 2);
  if (ec != std::errc{}) return -1;
  const std::size_t n = static_cast<std::size_t>(end - gain);
  char gains[512];
  std::size_t size = 0;
  auto put = [&](const char *p, std::size_t count) {
    std::memcpy(gains + size, p, count);
    size += count;
  };
  put("SYST:CORR:GAIN ", 15);
  for (int i = 0; i < 18; ++i) {
    if (i > 0) put(",", 1);
    put(gain, n);
  }
  put("\n", 2);
  int status = visa.printf(instrument, lossFrequencies);
  if (status == 0) status = visa.printf(instrument, gains);
  if (status == 0) status = visa.printf(instrument, text("SYST:CORR:STAT ON\n"));
  if (status == 0) errorQueueRead();
  return status;
}

int baselineMeasMaxPower() {
  int status = visa.queryf(instrument, text("FETC:DAP?\n"), text(kReadToken), baselineAnswer);
  if (status == 0) status = visa.printf(instrument, text("*CLS\n"));
  if (status == 0) errorQueueRead();
  return status;
}

int baselineMeasMaxPowerConverting() {
  int status = visa.queryf(instrument, text("FETC:DAP?\n"), text(kReadToken), baselineAnswer);
  if (status == 0) {
    const char *comma = std::strchr(baselineAnswer, ',');
    if (std::strstr(baselineAnswer, "NAN") != nullptr || comma == nullptr) {
      measured = NO_RESULT_VALUE;
    } else {
      std::from_chars(comma + 1, comma + 1 + std::strlen(comma + 1), measured);
    }
    status = visa.printf(instrument, text("*CLS\n"));
  }
  if (status == 0) errorQueueRead();
  return status;
}

// Channel 283 in the cellular band: the phone transmits on 825.0 + 0.03 x 283 MHz.
constexpr int kChannel = 283;
int baselineSetChannelBoth() {
  int status = visa.printf(instrument, text("CALL:CHAN %d\n"), kChannel);
  if (status == 0) status = visa.printf(instrument, text("CALL:RFG:FREQ %sMHz\n"), "833.490");
  if (status == 0) errorQueueRead();
  if (status == 0) errorQueueRead();
  return status;
}

int baselineSetChannelBothConverting() {
  int status = visa.printf(instrument, text("CALL:CHAN %d\n"), kChannel);
  if (status == 0) {
    char frequency[32];
    int channel = kChannel;
    benchmark::DoNotOptimize(channel);
    const double reverse = 0.03 * channel + 825.0;
    const auto [end, ec] =
        std::to_chars(frequency, frequency + sizeof frequency - 1, reverse,
                      std::chars_format::fixed, 3);
    if (ec != std::errc{}) return -1;
    *end = '\0';
    status = visa.printf(instrument, text("CALL:RFG:FREQ %sMHz\n"), frequency);
  }
  if (status == 0) errorQueueRead();
  if (status == 0) errorQueueRead();
  return status;
}

struct TimedOperation {
  const char *name;
  const char *what;
  int (*library)();
  int (*baseline)();
  int (*converting)();  // nullptr where the operation converts no number
};

const TimedOperation kTimed[] = {
    {"one_step_chain", "Zolvane_2K_SetRFPort(0)", [] { return Zolvane_2K_SetRFPort(0); },
     baselineOneStep, nullptr},
    {"twelve_step_chain", "Zolvane_2K_InitFER()", [] { return Zolvane_2K_InitFER(); },
     baselineTwelveSteps, nullptr},
    {"set_loss", "Zolvane_2K_SetLoss(0.5)", [] { return Zolvane_2K_SetLoss(kLoss); },
     baselineSetLoss, baselineSetLossConverting},
    {"meas_max_power", "Zolvane_2K_MeasMaxPower(&p)",
     [] { return Zolvane_2K_MeasMaxPower(&measured); }, baselineMeasMaxPower,
     baselineMeasMaxPowerConverting},
    {"set_channel_mode2", "Zolvane_2K_SetChannel(283, 2)",
     [] { return Zolvane_2K_SetChannel(kChannel, 2); }, baselineSetChannelBoth,
     baselineSetChannelBothConverting},
};

void timeIt(benchmark::State &state, int (*operation)()) {
  const null_visa::Counts before = null_visa::counts();
  const std::uint64_t heapBefore = heap_count::allocations();
  for (auto _ : state) {
    const int status = operation();
    benchmark::DoNotOptimize(status);
  }
  const std::uint64_t heap = heap_count::allocations() - heapBefore;
  const std::uint64_t calls = null_visa::counts().total() - before.total();
  const double iterations = static_cast<double>(state.iterations());
  state.counters["visa_calls"] = static_cast<double>(calls) / iterations;
  state.counters["allocs"] = static_cast<double>(heap) / iterations;
  if (operation() != 0) state.SkipWithError("the operation failed against the null VISA");
}

// Every operation once, with answers that make it succeed at once: VISA calls of each kind
// against the minimum its steps need, and heap allocations.
struct CountedOperation {
  const char *what;
  int (*run)();
  unsigned sends;    // viPrintf
  unsigned queries;  // viQueryf
  unsigned session;  // viOpenDefaultRM, viOpen, viSetAttribute, viClose
  void (*prepare)() = nullptr;
};

void dropsAtOnce() { null_visa::setAnswer(kConnectionQuery, "0"); }
void connectedAtOnce() { null_visa::setAnswer(kConnectionQuery, "1"); }

// The minimum is the operation's steps: each send one viPrintf, each query and each error-queue
// read one viQueryf, and the calls of other operations theirs.
const CountedOperation kCounted[] = {
    {"Zolvane_ResetTester()", [] { return Zolvane_ResetTester(); }, 1, 0, 0},
    {"Zolvane_ConfigCDMA2K(0)", [] { return Zolvane_ConfigCDMA2K(0); }, 10 + 7 + 1, 2, 0},
    {"Zolvane_2K_SetBand(0)", [] { return Zolvane_2K_SetBand(0); }, 7, 1, 0},
    {"Zolvane_2K_SetLoss(0.5)", [] { return Zolvane_2K_SetLoss(kLoss); }, 3, 1, 0},
    {"Zolvane_2K_SetRFPort(0)", [] { return Zolvane_2K_SetRFPort(0); }, 1, 1, 0},
    {"Zolvane_2K_OpenAct()", [] { return Zolvane_2K_OpenAct(); }, 6, 1, 0},
    {"Zolvane_2K_SetCellPower(-55.5)", [] { return Zolvane_2K_SetCellPower(-55.5); }, 1, 1, 0},
    {"Zolvane_2K_SetNetwork(1, 2)", [] { return Zolvane_2K_SetNetwork(1, 2); }, 2, 1, 0},
    {"Zolvane_SetOperMode(CW)", [] { return Zolvane_SetOperMode(OPER_MODE_CW); }, 1, 1, 0},
    {"Zolvane_SetOperModeCALL()", [] { return Zolvane_SetOperModeCALL(); }, 1, 1, 0},
    {"Zolvane_SetOperModeCW()", [] { return Zolvane_SetOperModeCW(); }, 1, 1, 0},
    {"Zolvane_2K_SetChannel(283, 0)", [] { return Zolvane_2K_SetChannel(kChannel, 0); }, 1, 1, 0},
    {"Zolvane_2K_SetChannel(283, 1)", [] { return Zolvane_2K_SetChannel(kChannel, 1); }, 1, 2, 0},
    {"Zolvane_2K_SetChannel(283, 2)", [] { return Zolvane_2K_SetChannel(kChannel, 2); }, 2, 2, 0},
    {"Zolvane_SetCarrierFrequency(836.52)",
     [] { return Zolvane_SetCarrierFrequency(836.52); }, 1, 1, 0},
    {"Zolvane_2K_SyncNetwork(5), registered", [] { return Zolvane_2K_SyncNetwork(5); }, 1, 1, 0},
    {"Zolvane_SetOrig()", [] { return Zolvane_SetOrig(); }, 1, 0, 0},
    {"Zolvane_CheckConnect(5), connected", [] { return Zolvane_CheckConnect(5); }, 0, 1, 0,
     connectedAtOnce},
    {"Zolvane_2K_InitFER()", [] { return Zolvane_2K_InitFER(); }, 12, 1, 0},
    {"Zolvane_2K_MeasFER(&v)", [] { return Zolvane_2K_MeasFER(&measured); }, 1, 2, 0},
    {"Zolvane_2K_AbortFER()", [] { return Zolvane_2K_AbortFER(); }, 2, 1, 0},
    {"Zolvane_2K_InitMaxPower(10)", [] { return Zolvane_2K_InitMaxPower(10); }, 10, 1, 0},
    {"Zolvane_2K_MeasMaxPower(&v)", [] { return Zolvane_2K_MeasMaxPower(&measured); }, 1, 2, 0},
    {"Zolvane_2K_AbortMaxPower()", [] { return Zolvane_2K_AbortMaxPower(); }, 3, 1, 0},
    {"Zolvane_ConfigMeasDAP()", [] { return Zolvane_ConfigMeasDAP(); }, 10, 1, 0},
    {"Zolvane_InitDAPower()", [] { return Zolvane_InitDAPower(); }, 3, 1, 0},
    {"Zolvane_FetchDAPower(&v)", [] { return Zolvane_FetchDAPower(&measured); }, 1, 2, 0},
    {"Zolvane_2K_InitMinPower()", [] { return Zolvane_2K_InitMinPower(); }, 11, 1, 0},
    {"Zolvane_2K_MeasMinPower(&v)", [] { return Zolvane_2K_MeasMinPower(&measured); }, 1, 2, 0},
    {"Zolvane_2K_AbortMinPower()", [] { return Zolvane_2K_AbortMinPower(); }, 4, 1, 0},
    {"Zolvane_2K_InitRolop()", [] { return Zolvane_2K_InitRolop(); }, 11, 1, 0},
    {"Zolvane_2K_MeasRolop(&v)", [] { return Zolvane_2K_MeasRolop(&measured); }, 1, 2, 0},
    {"Zolvane_2K_AbortRolop()", [] { return Zolvane_2K_AbortRolop(); }, 3, 1, 0},
    {"Zolvane_InitCPower()", [] { return Zolvane_InitCPower(); }, 11, 1, 0},
    {"Zolvane_FetchCPower(&v)", [] { return Zolvane_FetchCPower(&measured); }, 1, 2, 0},
    {"Zolvane_2K_HandOff(0, 283), same band", [] { return Zolvane_2K_HandOff(0, kChannel); }, 2,
     2, 0},
    // Waits its 2.0 s once.
    {"Zolvane_2K_HandOff(1, 25), other band", [] { return Zolvane_2K_HandOff(1, 25); }, 4, 1, 0},
    {"Zolvane_2K_SetBand(0), back", [] { return Zolvane_2K_SetBand(0); }, 7, 1, 0},
    {"Zolvane_EndCall(), dropped", [] { return Zolvane_EndCall(); }, 2, 1, 0, dropsAtOnce},
    {"Zolvane_ReleaseTester()", [] { return Zolvane_ReleaseTester(); }, 0, 0, 2},
    {"Zolvane_InitTester(14)", [] { return Zolvane_InitTester(kGpibAddress); }, 1, 0, 3},
};

void countEveryOperation(Summary &summary) {
  for (const CountedOperation &op : kCounted) {
    if (op.prepare != nullptr) op.prepare();
    const null_visa::Counts before = null_visa::counts();
    const std::uint64_t heapBefore = heap_count::allocations();
    const int status = op.run();
    const std::uint64_t heap = heap_count::allocations() - heapBefore;
    const null_visa::Counts after = null_visa::counts();
    connectedAtOnce();
    CallCount c;
    c.what = op.what;
    c.status = status;
    c.sends = after.printf - before.printf;
    c.queries = after.queryf - before.queryf;
    c.session = after.sessionCalls() - before.sessionCalls();
    c.minimumSends = op.sends;
    c.minimumQueries = op.queries;
    c.minimumSession = op.session;
    c.allocations = heap;
    summary.calls.push_back(c);
  }
}

// The polling loops against answers that never end them: each must stop at its limit, late by
// at most one pause and the last pass.
struct PollingCase {
  const char *name;
  const char *what;
  const char *query;
  const char *answer;
  double limitMs;
  double pauseMs;
  int (*run)();
  int expected;
};

const PollingCase kPolling[] = {
    {"check_connect_overshoot", "Zolvane_CheckConnect(1), never connected", kConnectionQuery, "0",
     1000.0, 50.0, [] { return Zolvane_CheckConnect(1); }, 1},
    {"sync_network_overshoot", "Zolvane_2K_SyncNetwork(1), never registered", kEsnQuery, "0",
     1000.0, 500.0, [] { return Zolvane_2K_SyncNetwork(1); }, 1},
    {"end_call_overshoot", "Zolvane_EndCall(), never dropped", kConnectionQuery, "1", 5000.0,
     50.0, [] { return Zolvane_EndCall(); }, 0},
};

void pollIt(benchmark::State &state, const PollingCase *c, Summary *summary) {
  Overshoot o;
  o.what = c->what;
  o.limitMs = c->limitMs;
  o.boundMs = c->pauseMs + kOvershootSlackMs;
  for (auto _ : state) {
    null_visa::setAnswer(c->query, c->answer);
    const std::uint64_t heapBefore = heap_count::allocations();
    const auto start = std::chrono::steady_clock::now();
    o.status = c->run();
    const auto end = std::chrono::steady_clock::now();
    o.allocations = heap_count::allocations() - heapBefore;
    o.polls = null_visa::timesAsked(c->query);
    o.elapsedMs = std::chrono::duration<double, std::milli>(end - start).count();
  }
  answerAsAnInstrument();
  o.expectedStatus = c->expected;
  state.counters["limit_ms"] = o.limitMs;
  state.counters["overshoot_ms"] = o.elapsedMs - o.limitMs;
  state.counters["bound_ms"] = o.boundMs;
  state.counters["polls"] = static_cast<double>(o.polls);
  summary->overshoots.push_back(o);
}

// The fastest repetition is the one least disturbed by the rest of the machine.
void withMinimum(benchmark::internal::Benchmark *b) {
  b->ComputeStatistics("min", [](const std::vector<double> &v) {
    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
  });
}

}  // namespace

bool openNullVisa(std::string &error) {
  // A count of zero means something only if the counter sees what other shared objects
  // allocate: strdup allocates inside the C library.
  char *(*volatile duplicate)(const char *) = strdup;
  const std::uint64_t heapBefore = heap_count::allocations();
  std::free(duplicate("x"));
  if (heap_count::allocations() == heapBefore) {
    error = "the allocation counter does not see allocations made in shared libraries";
    return false;
  }

  answerAsAnInstrument();
  const null_visa::Counts before = null_visa::counts();
  const int status = Zolvane_InitTester(kGpibAddress);
  if (status != 0) {
    error = "Zolvane_InitTester failed with status " + std::to_string(status);
    return false;
  }
  // The library must have bound this very null VISA, not some VISA further down the path.
  if (null_visa::counts().total() - before.total() != 4) {
    error = "the library did not bind the null VISA (is its folder first on LD_LIBRARY_PATH?)";
    return false;
  }
  void *lib = dlopen(kVisaName, RTLD_NOW | RTLD_NOLOAD);
  if (lib == nullptr) {
    error = std::string("the VISA the library loaded is not ") + kVisaName;
    return false;
  }
  visa.printf = reinterpret_cast<ViPrintfFn>(dlsym(lib, "viPrintf"));
  visa.queryf = reinterpret_cast<ViQueryfFn>(dlsym(lib, "viQueryf"));
  dlclose(lib);
  if (visa.printf == nullptr || visa.queryf == nullptr) {
    error = "the null VISA lacks viPrintf or viQueryf";
    return false;
  }
  prepareLossTexts();
  return true;
}

// A baseline that wrote other bytes than the library would measure something else.
std::uint64_t digestOf(int (*operation)()) {
  null_visa::setDigesting(true);
  (void)operation();
  const std::uint64_t d = null_visa::digest();
  null_visa::setDigesting(false);
  return d;
}

void registerMicroBenchmarks(Summary &summary) {
  // The baselines talk on the session the library opened last.
  instrument = null_visa::lastInstrument();
  for (const TimedOperation &op : kTimed) {
    const std::uint64_t library = digestOf(op.library);
    if (digestOf(op.baseline) != library ||
        (op.converting != nullptr && digestOf(op.converting) != library)) {
      summary.baselineMismatches.push_back(op.name);
    }
  }
  for (const TimedOperation &op : kTimed) {
    const std::string name = op.name;
    withMinimum(benchmark::RegisterBenchmark((name + "/library").c_str(), timeIt, op.library));
    withMinimum(benchmark::RegisterBenchmark((name + "/baseline").c_str(), timeIt, op.baseline));
    if (op.converting != nullptr) {
      withMinimum(benchmark::RegisterBenchmark((name + "/baseline_converting").c_str(), timeIt,
                                               op.converting));
    }
    Timing t;
    t.name = op.name;
    t.what = op.what;
    t.converts = op.converting != nullptr;
    summary.timed.push_back(t);
  }
  for (const PollingCase &c : kPolling) {
    benchmark::RegisterBenchmark(c.name, pollIt, &c, &summary)
        ->Iterations(1)
        ->Repetitions(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
}

void countCalls(Summary &summary) { countEveryOperation(summary); }

}  // namespace bench
