#include "record_schema.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string_view>
#include <thread>

namespace zolvane::records {
namespace {

using nlohmann::json;

constexpr std::string_view kVerdicts[] = {"PASS", "FAIL", "ERROR", "ABORTED"};
constexpr std::string_view kStepVerdicts[] = {"PASS", "FAIL", "ERROR", "ABORTED", "SKIP"};
// Keys that are text wherever they appear.
constexpr const char *kTextKeys[] = {"serial",          "station",         "operator", "plan",
                                     "plan_hash",       "library_version", "program_version",
                                     "start",           "host"};
constexpr const char *kStepTextKeys[] = {"unit", "note"};
constexpr const char *kStepLimitKeys[] = {"value", "low", "high"};

template <std::size_t N>
bool oneOf(const json &v, const std::string_view (&set)[N]) {
  if (!v.is_string()) return false;
  const auto &s = v.get_ref<const std::string &>();
  return std::find(std::begin(set), std::end(set), s) != std::end(set);
}

bool absentOr(const json &obj, const char *key, bool (json::*is)() const noexcept) {
  const auto it = obj.find(key);
  return it == obj.end() || ((*it).*is)();
}

bool numberOrNull(const json &obj, const char *key) {
  const auto it = obj.find(key);
  return it == obj.end() || it->is_null() || it->is_number();
}

bool fail(std::string &why, std::string text) {
  why = std::move(text);
  return false;
}

bool checkSteps(const json &steps, std::string &why) {
  if (!steps.is_array()) return fail(why, "steps is not an array");
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const json &s = steps[i];
    const std::string at = "step " + std::to_string(i + 1) + ": ";
    if (!s.is_object() || !s.contains("name") || !s["name"].is_string())
      return fail(why, at + "not an object with a name");
    for (const char *key : kStepLimitKeys)
      if (!numberOrNull(s, key)) return fail(why, at + key + " is neither a number nor null");
    for (const char *key : kStepTextKeys)
      if (!absentOr(s, key, &json::is_string)) return fail(why, at + key + " is not text");
    if (!absentOr(s, "seconds", &json::is_number))
      return fail(why, at + "seconds is not a number");
    if (!oneOf(s.value("verdict", json()), kStepVerdicts))
      return fail(why, at + "verdict is not PASS, FAIL, ERROR, ABORTED or SKIP");
  }
  return true;
}

// What version 2 adds: the run's identity, its place among the serial's attempts, the test set.
bool checkVersion2(const json &r, std::string &why) {
  const auto id = r.find("record_id");
  if (id == r.end() || !id->is_string() || !isUuidText(id->get<std::string>()))
    return fail(why, "record_id is not a UUID (lowercase 8-4-4-4-12)");
  const auto attempt = r.find("attempt");
  if (attempt == r.end() || !attempt->is_number_integer() || attempt->get<long long>() < 1)
    return fail(why, "attempt is not a whole number 1 or more");
  const auto previous = r.find("previous_record_id");
  if (previous == r.end() ||
      !(previous->is_null() ||
        (previous->is_string() && isUuidText(previous->get<std::string>()))))
    return fail(why, "previous_record_id is neither a UUID nor null");
  if (*previous == *id) return fail(why, "previous_record_id is the record's own id");
  if (!r.contains("host")) return fail(why, "no host");
  const auto testSet = r.find("test_set");
  if (testSet == r.end() || !testSet->is_object()) return fail(why, "test_set is not an object");
  if (!testSet->contains("simulated") || !(*testSet)["simulated"].is_boolean())
    return fail(why, "test_set.simulated is not true or false");
  for (const char *key : {"resource", "visa"})
    if (!absentOr(*testSet, key, &json::is_string))
      return fail(why, std::string("test_set.") + key + " is not text");
  if (!absentOr(*testSet, "simulator", &json::is_object))
    return fail(why, "test_set.simulator is not an object");
  return true;
}

// FNV-1a, 128 bits: enough that two different records never share an id by chance. Kept in two
// 64-bit halves (32-bit compilers have no 128-bit integer): the prime is 2^88 + 0x13b, so a
// product is the low half times 0x13b carried into the high half, plus the low half shifted 88.
struct Hash128 {
  std::uint64_t hi = 0x6c62272e07bb0142ULL, lo = 0x62b821756295c58dULL;
};

Hash128 fnv1a128(std::string_view text) {
  Hash128 h;
  for (unsigned char c : text) {
    h.lo ^= c;
    const std::uint64_t a = (h.lo & 0xffffffffULL) * 0x13b, b = (h.lo >> 32) * 0x13b;
    const std::uint64_t middle = (a >> 32) + (b & 0xffffffffULL);
    const std::uint64_t lo = (a & 0xffffffffULL) | (middle << 32);
    h.hi = h.hi * 0x13b + (middle >> 32) + (b >> 32) + (h.lo << 24);
    h.lo = lo;
  }
  return h;
}

// 16 bytes as UUID text, with the version in the high nibble of byte 6 and RFC 9562's variant
// (binary 10) in the top bits of byte 8.
std::string uuidText(std::uint8_t (&b)[16], unsigned version) {
  b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | (version << 4));
  b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  s.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += kHex[b[i] >> 4];
    s += kHex[b[i] & 0x0f];
  }
  return s;
}

// Version 7 ids, RFC 9562 method 1 ("fixed bit-length dedicated counter"): the 74 bits after the
// time are random at each new millisecond and counted up within one, so that ids made in the
// same millisecond (or after the clock stepped back) still rise.
class IdSource {
 public:
  IdSource() {
    std::random_device device;
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    const auto self = reinterpret_cast<std::uintptr_t>(this);
    const auto thread = std::hash<std::thread::id>()(std::this_thread::get_id());
    std::seed_seq seed{device(), device(), device(), device(),
                       device(), device(), device(), device(),
                       static_cast<unsigned>(now), static_cast<unsigned>(now >> 32),
                       static_cast<unsigned>(self), static_cast<unsigned>(thread)};
    random_.seed(seed);
  }

  std::string next() {
    std::uint64_t ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::system_clock::now().time_since_epoch())
            .count());
    std::lock_guard<std::mutex> lock(mutex_);
    if (ms > lastMs_) {
      lastMs_ = ms;
      counter_ = random_() & kCounterStart;
      tail_ = random_();
    } else if (++counter_ > kCounterMask) {  // 2^42 ids in one millisecond: borrow the next
      ++lastMs_;
      counter_ = random_() & kCounterStart;
      tail_ = random_();
    }
    // 48 bits time | 4 version | 12 counter high | 2 variant | 30 counter low | 32 random.
    std::uint8_t b[16];
    for (int i = 0; i < 6; ++i) b[i] = static_cast<std::uint8_t>(lastMs_ >> (40 - 8 * i));
    const std::uint64_t high = counter_ >> 30, low = counter_ & ((1ULL << 30) - 1);
    b[6] = static_cast<std::uint8_t>(high >> 8);
    b[7] = static_cast<std::uint8_t>(high);
    b[8] = static_cast<std::uint8_t>(low >> 24);
    b[9] = static_cast<std::uint8_t>(low >> 16);
    b[10] = static_cast<std::uint8_t>(low >> 8);
    b[11] = static_cast<std::uint8_t>(low);
    for (int i = 0; i < 4; ++i) b[12 + i] = static_cast<std::uint8_t>(tail_ >> (24 - 8 * i));
    return uuidText(b, 7);
  }

 private:
  static constexpr std::uint64_t kCounterMask = (1ULL << 42) - 1;
  static constexpr std::uint64_t kCounterStart = kCounterMask >> 1;  // room to count up
  std::mutex mutex_;
  std::mt19937_64 random_;
  std::uint64_t lastMs_ = 0, counter_ = 0, tail_ = 0;
};

}  // namespace

bool isUuidText(const std::string &s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool checkRecord(const json &r, std::string &why) {
  if (!r.is_object()) return fail(why, "not a JSON object");
  const auto version = r.find("schema_version");
  if (version == r.end()) return fail(why, "no schema_version");
  if (!version->is_number_integer() || version->get<long long>() < kOldestSchemaVersion ||
      version->get<long long>() > kSchemaVersion) {
    return fail(why, "unknown schema_version " + version->dump() + " (this reader knows " +
                         std::to_string(kOldestSchemaVersion) + " to " +
                         std::to_string(kSchemaVersion) + ")");
  }
  if (!oneOf(r.value("verdict", json()), kVerdicts))
    return fail(why, "verdict is not PASS, FAIL, ERROR or ABORTED");
  for (const char *key : kTextKeys)
    if (!absentOr(r, key, &json::is_string)) return fail(why, std::string(key) + " is not text");
  if (!absentOr(r, "duration_s", &json::is_number)) return fail(why, "duration_s is not a number");
  if (version->get<long long>() >= 2 && !checkVersion2(r, why)) return false;
  const auto steps = r.find("steps");
  return steps == r.end() || checkSteps(*steps, why);
}

std::string newRecordId() {
  static IdSource source;
  return source.next();
}

std::string recordId(const json &r) {
  if (r.is_object()) {
    const auto id = r.find("record_id");
    if (id != r.end() && id->is_string()) return id->get<std::string>();
  }
  // Keys sorted, no spaces, numbers shortest: one text for one content.
  const Hash128 h = fnv1a128("zolvane record\n" +
                             r.dump(-1, ' ', false, json::error_handler_t::replace));
  std::uint8_t b[16];
  for (int i = 0; i < 8; ++i) {
    b[i] = static_cast<std::uint8_t>(h.hi >> (56 - 8 * i));
    b[8 + i] = static_cast<std::uint8_t>(h.lo >> (56 - 8 * i));
  }
  return uuidText(b, 8);
}

}  // namespace zolvane::records
