#include "forward.h"

#include "http_post.h"

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <ctime>
#include <fstream>
#include <sstream>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

namespace zolvane::line {
namespace {

struct Finalize {
  void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

std::string utcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &t);
#else
  gmtime_r(&t, &tm);
#endif
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms.count()));
  return buf;
}

}  // namespace

std::chrono::milliseconds backoff(unsigned failures, std::chrono::milliseconds first,
                                  std::chrono::milliseconds most, double random) {
  if (failures == 0) return std::chrono::milliseconds(0);
  double ms = static_cast<double>(first.count());
  for (unsigned i = 1; i < failures && ms < static_cast<double>(most.count()); ++i) ms *= 2;
  ms = std::min(ms, static_cast<double>(most.count()));
  return std::chrono::milliseconds(static_cast<long long>(ms * (1.0 - 0.25 * random)));
}

struct Forwarder::Impl {
  ForwardOptions o;
  sqlite3 *db = nullptr;
  std::unique_ptr<HttpPoster> http;
  std::set<std::string> refused;  // ids the server called malformed: not sent again this run
  std::size_t batch;
  std::mutex wakeMutex;
  std::condition_variable woken;
  bool wakeFlag = false;
  std::mt19937 random{std::random_device{}()};

  explicit Impl(ForwardOptions options) : o(std::move(options)), batch(std::max<std::size_t>(1, o.batch)) {
    // The address first: a constructor that throws once the database is open would leave it open.
    if (!tokenIsSafe(o.token))
      throw std::runtime_error("the token is empty or holds a space at an end, a line break or "
                               "another character that cannot go into a header");
    http = std::make_unique<HttpPoster>(o.url, o.timeout);
    if (sqlite3_open_v2(o.db.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close(db);
      throw std::runtime_error("cannot open the station database " + o.db + ": " + why);
    }
    sqlite3_busy_timeout(db, 10000);
  }
  ~Impl() { sqlite3_close(db); }

  [[noreturn]] void fault(const char *doing) {
    throw std::runtime_error(std::string("station database ") + o.db + ": " + doing + ": " +
                             sqlite3_errmsg(db));
  }

  Statement prepare(const char *sql) {
    sqlite3_stmt *s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) fault("prepare");
    return Statement(s);
  }

  std::size_t waiting() {
    Statement s = prepare("SELECT COUNT(*) FROM phone_run WHERE forwarded_at IS NULL");
    if (sqlite3_step(s.get()) != SQLITE_ROW) fault("count");
    return static_cast<std::size_t>(sqlite3_column_int64(s.get(), 0));
  }

  // The oldest waiting rows that the server has not refused.
  std::vector<std::pair<std::string, std::string>> oldest(std::size_t n) {
    Statement s = prepare("SELECT record_id, record_json FROM phone_run WHERE forwarded_at IS NULL "
                          "ORDER BY start, record_id LIMIT ?1");
    sqlite3_bind_int64(s.get(), 1, static_cast<sqlite3_int64>(n + refused.size()));
    std::vector<std::pair<std::string, std::string>> rows;
    int rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW && rows.size() < n) {
      std::string id(reinterpret_cast<const char *>(sqlite3_column_text(s.get(), 0)));
      if (refused.count(id)) continue;
      rows.emplace_back(std::move(id),
                        std::string(reinterpret_cast<const char *>(sqlite3_column_text(s.get(), 1)),
                                    static_cast<std::size_t>(sqlite3_column_bytes(s.get(), 1))));
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) fault("read");
    return rows;
  }

  // Marks the acknowledged ids of the batch, in one transaction; returns how many of the batch
  // the server acknowledged.
  std::size_t mark(const std::vector<std::pair<std::string, std::string>> &rows,
                   const nlohmann::json &ids) {
    std::set<std::string> acked;
    if (ids.is_array())
      for (const auto &id : ids)
        if (id.is_string()) acked.insert(id.get<std::string>());
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) fault("begin");
    std::size_t marked = 0;
    try {
      Statement s = prepare("UPDATE phone_run SET forwarded_at = ?1 "
                            "WHERE record_id = ?2 AND forwarded_at IS NULL");
      const std::string now = utcNow();
      for (const auto &[id, json] : rows) {
        if (!acked.count(id)) continue;  // only what the server says it holds
        ++marked;
        sqlite3_reset(s.get());
        sqlite3_bind_text(s.get(), 1, now.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(s.get(), 2, id.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(s.get()) != SQLITE_DONE) fault("mark forwarded");
      }
      if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fault("commit");
    } catch (...) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
    return marked;
  }

  ForwardPass pass() {
    ForwardPass p;
    for (;;) {
      const auto rows = oldest(batch);
      if (rows.empty()) break;
      std::string body = "[";
      for (const auto &[id, json] : rows) body += (body.size() > 1 ? "," : "") + json;
      body += "]";
      std::string why;
      const auto res = http->post("/api/v1/records", o.token, body, why);
      if (!res) {
        p.failed = true;
        p.error = "line server " + o.url + ": " + why;
        break;
      }
      p.sent += rows.size();
      if (res->status == 200) {
        // Read in place: the answer is whatever came back, nested however deep.
        const auto answer = nlohmann::json::parse(res->body, nullptr, false);
        const auto ids = answer.is_object() ? answer.find("ids") : answer.end();
        static const nlohmann::json none = nlohmann::json::array();
        const std::size_t marked = mark(rows, ids != answer.end() ? *ids : none);
        p.acknowledged += marked;
        if (marked == 0) {  // an answer that acknowledges nothing: do not loop on it
          p.failed = true;
          p.error = "the line server acknowledged none of " + std::to_string(rows.size());
          break;
        }
        continue;
      }
      if (res->status == 413 && rows.size() > 1) {  // the server's limit: smaller batches
        batch = std::max<std::size_t>(1, rows.size() / 2);
        continue;
      }
      if (res->status == 400 || res->status == 413) {
        // One record is malformed (or alone too large): set it aside, keep it waiting, and let
        // the others go. It is named so that someone looks at it.
        const auto answer = nlohmann::json::parse(res->body, nullptr, false);
        std::size_t at = rows.size();
        if (rows.size() == 1) at = 0;
        if (answer.is_object() && answer.contains("index") && answer["index"].is_number_unsigned() &&
            answer["index"].get<std::size_t>() < rows.size())
          at = answer["index"].get<std::size_t>();
        if (at == rows.size()) {  // names no record of the batch: nothing to set aside
          p.failed = true;
          p.error = "line server " + o.url + " refused the batch without naming a record: " +
                    res->body.substr(0, 200);
          break;
        }
        const auto error = answer.is_object() ? answer.find("error") : answer.end();
        refused.insert(rows[at].first);
        ++p.refused;
        p.error = "the line server refused record " + rows[at].first + ": " +
                  (error != answer.end() && error->is_string() ? error->get<std::string>()
                                                               : res->body.substr(0, 200));
        continue;
      }
      p.failed = true;
      p.error = "line server " + o.url + " answered " + std::to_string(res->status) + ": " +
                res->body.substr(0, 200);
      break;
    }
    p.waiting = waiting();
    return p;
  }
};

Forwarder::Forwarder(ForwardOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Forwarder::~Forwarder() = default;

ForwardPass Forwarder::forwardWaiting() { return impl_->pass(); }
std::size_t Forwarder::waiting() { return impl_->waiting(); }

void Forwarder::wake() {
  {
    std::lock_guard lock(impl_->wakeMutex);
    impl_->wakeFlag = true;
  }
  impl_->woken.notify_all();
}

void Forwarder::run(const std::atomic<bool> &stop,
                    const std::function<void(const ForwardPass &)> &report) {
  unsigned failures = 0;
  std::uniform_real_distribution<double> jitter(0.0, 1.0);
  while (!stop) {
    ForwardPass p;
    try {
      p = impl_->pass();
    } catch (const std::exception &e) {  // the station's own database: say so and try again
      p.failed = true;
      p.error = e.what();
    }
    if (report && (p.sent || p.failed || p.refused)) report(p);
    failures = p.failed ? failures + 1 : 0;
    const auto wait = p.failed ? backoff(failures, impl_->o.firstBackoff, impl_->o.maxBackoff,
                                         jitter(impl_->random))
                               : impl_->o.idlePoll;
    std::unique_lock lock(impl_->wakeMutex);
    // Woken early only when idle: a failing server is not hammered because phones finish.
    const auto until = std::chrono::steady_clock::now() + wait;
    while (!stop && !(impl_->wakeFlag && !p.failed) && std::chrono::steady_clock::now() < until)
      impl_->woken.wait_for(lock, std::chrono::milliseconds(100));
    impl_->wakeFlag = false;
  }
}

bool tokenIsSafe(const std::string &token) {
  if (token.empty() || token.front() == ' ' || token.back() == ' ') return false;
  for (unsigned char c : token)
    if (c < 0x20 || c > 0x7e) return false;
  return true;
}

bool readTokenFile(const std::string &file, std::string &token) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  token = text.str();
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
  return !token.empty();
}

int forwardCommand(ForwardOptions options, const std::string &tokenFile, bool once,
                   const std::atomic<bool> &stop, const char *program) {
  if (!readTokenFile(tokenFile, options.token)) {
    std::fprintf(stderr, "%s: cannot read a token from %s\n", program, tokenFile.c_str());
    return 2;
  }
  auto say = [program](const ForwardPass &p) {
    std::fprintf(stderr, "%s: forwarded %zu, waiting %zu%s%s\n", program, p.acknowledged,
                 p.waiting, p.error.empty() ? "" : ": ", p.error.c_str());
  };
  try {
    Forwarder forwarder(options);
    if (once) {
      const ForwardPass p = forwarder.forwardWaiting();
      say(p);
      return p.waiting == 0 ? 0 : 1;
    }
    forwarder.run(stop, say);
    return 0;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}

}  // namespace zolvane::line
