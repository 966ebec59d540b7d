#include "server.h"

#include <cstdio>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "line_time.h"
#include "pages.h"
#include "query.h"

namespace zolvane::line {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxDepth = 32;  // a record nests three deep; a batch four

json optionalNumber(const std::optional<double> &v) { return v ? json(*v) : json(); }

void reply(httplib::Response &res, int status, const json &body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n",
                  "application/json");
}
void refuse(httplib::Response &res, int status, const std::string &why) {
  reply(res, status, {{"error", why}});
}

// RFC 4180, and a text that a spreadsheet would take for a formula (= + - @ first) starts with
// an apostrophe, so that opening the export never runs a serial or a step name.
std::string csvText(const std::string &s) {
  std::string v = s;
  if (!v.empty() && (v[0] == '=' || v[0] == '+' || v[0] == '-' || v[0] == '@')) v = "'" + v;
  if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
  std::string q = "\"";
  for (char c : v) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}
std::string csvValue(const json &v) {
  if (v.is_string()) return csvText(v.get<std::string>());
  if (v.is_null()) return "";
  if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
  return v.dump();
}

constexpr const char *kCsvColumns[] = {
    "record_id", "serial", "station", "operator", "plan", "start", "attempt", "simulated",
    "phone_verdict", "index", "step", "value", "unit", "low", "high", "verdict", "seconds", "note"};

// The rows of one record: one per step, or one for a run without steps.
std::string csvRows(const std::string &text) {
  const json r = json::parse(text, nullptr, false);
  if (!r.is_object()) return "";
  std::string head;
  for (const char *key : {"record_id", "serial", "station", "operator", "plan", "start", "attempt"})
    head += csvValue(r.value(key, json())) + ",";
  const json ts = r.value("test_set", json::object());
  head += csvValue(ts.is_object() ? ts.value("simulated", json()) : json()) + ",";
  head += csvValue(r.value("verdict", json())) + ",";
  const json steps = r.value("steps", json::array());
  if (!steps.is_array() || steps.empty()) return head + ",,,,,,,,\r\n";
  std::string out;
  for (const json &s : steps) {
    out += head;
    bool first = true;
    for (const char *key : {"index", "name", "value", "unit", "low", "high", "verdict", "seconds",
                            "note"}) {
      out += (first ? "" : ",") + csvValue(s.is_object() ? s.value(key, json()) : json());
      first = false;
    }
    out += "\r\n";
  }
  return out;
}

// A store fault as the answer: 503 when the database is away (try again), else 500.
void storeFault(httplib::Response &res, const DbError &e) {
  if (e.lost) res.set_header("Retry-After", "5");
  refuse(res, e.lost ? 503 : 500, std::string("store: ") + e.what());
}

}  // namespace

bool sameToken(std::string_view given, std::string_view expected) {
  unsigned diff = given.size() != expected.size() ? 1u : 0u;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return diff == 0;
}

std::size_t jsonDepth(std::string_view text) {
  std::size_t depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

struct LineServer::Impl {
  Store &store;
  ServerOptions options;
  httplib::Server http;

  Impl(Store &target, ServerOptions opts) : store(target), options(std::move(opts)) {
    http.set_payload_max_length(options.maxBody);
    // An answer goes out at once: without this, Nagle's algorithm holds the last segment of a
    // request or answer until the peer's delayed ACK (40 ms or more on each request).
    http.set_tcp_nodelay(true);
    // A station keeps its connection for every batch rather than opening one each five.
    http.set_keep_alive_max_count(1000);
    http.set_read_timeout(30, 0);
    http.set_write_timeout(30, 0);
    http.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                              {"Cache-Control", "no-store"}});
    http.set_exception_handler([](const httplib::Request &, httplib::Response &res,
                                  std::exception_ptr ep) {
      try {
        std::rethrow_exception(ep);
      } catch (const DbError &e) {
        storeFault(res, e);
      } catch (const std::exception &e) {
        refuse(res, 500, e.what());
      } catch (...) {
        refuse(res, 500, "unexpected failure");
      }
    });
    http.set_error_handler([](const httplib::Request &, httplib::Response &res) {
      if (res.body.empty()) {
        const char *what = res.status == 413   ? "body over the server's limit"
                           : res.status == 404 ? "no such page"
                                               : "refused";
        refuse(res, res.status, what);
      }
    });

    http.Post("/api/v1/records", [this](const httplib::Request &q, httplib::Response &res) {
      ingest(q, res);
    });
    http.Get("/api/v1/health", [this](const httplib::Request &, httplib::Response &res) {
      reply(res, 200, {{"ok", true}, {"records", store.count()}});
    });
    http.Get("/api/v1/yield", [this](const httplib::Request &q, httplib::Response &res) {
      Query p(q);
      const Filter f = p.filter();
      const auto by = p.groupBy();
      if (!p.ok()) return refuse(res, 400, p.error());
      json groups = json::array();
      for (const YieldGroup &g : store.yield(f, *by)) {
        json group = {{"key", g.key},
                  {"runs", g.runs},
                  {"attempts", g.attempts},
                  {"serials", g.serials},
                  {"first_attempts", g.firstAttempts},
                  {"first_pass_yield", optionalNumber(g.firstPassYield())},
                  {"final_yield", optionalNumber(g.finalYield())},
                  {"retests", g.retests()},
                  {"station_errors", g.stationErrors}};
        if (*by == GroupBy::StationPlan) group["plan"] = g.key2;
        groups.push_back(std::move(group));
      }
      reply(res, 200, {{"groups", groups}});
    });
    http.Get("/api/v1/pareto", [this](const httplib::Request &q, httplib::Response &res) {
      Query p(q);
      const Filter f = p.filter();
      const std::size_t limit = p.limit(20, 1000);
      if (!p.ok()) return refuse(res, 400, p.error());
      json steps = json::array();
      for (const ParetoRow &r : store.pareto(f, limit))
        steps.push_back({{"step", r.step}, {"failing_phones", r.phones}, {"failures", r.failures}});
      reply(res, 200, {{"steps", steps}});
    });
    http.Get(R"(/api/v1/serials/([\s\S]+))", [this](const httplib::Request &q, httplib::Response &res) {
      const std::string serial = q.matches[1];
      json attempts = json::array();
      for (const std::string &text : store.serial(serial, 1000))
        attempts.push_back(json::parse(text, nullptr, false));
      if (attempts.empty()) return reply(res, 404, {{"serial", serial}, {"attempts", attempts}});
      reply(res, 200, {{"serial", serial}, {"attempts", attempts}});
    });
    http.Get(R"(/api/v1/steps/([\s\S]+)/stats)", [this](const httplib::Request &q,
                                                   httplib::Response &res) {
      Query p(q);
      const Filter f = p.filter();
      if (!p.ok()) return refuse(res, 400, p.error());
      const std::string step = q.matches[1];
      json stations = json::array();
      for (const StepStats &st : store.stepStats(step, f)) {
        stations.push_back({{"station", st.station},
                            {"unit", st.unit},
                            {"count", st.m.count},
                            {"mean", st.m.mean},
                            {"std_dev", st.m.count > 1 ? json(st.m.stdDev) : json()},
                            {"min", st.m.min},
                            {"max", st.m.max},
                            {"low", optionalNumber(st.low)},
                            {"high", optionalNumber(st.high)},
                            {"cpk", optionalNumber(st.cpk())},
                            {"cpk_indicative", st.m.count < 30}});
      }
      reply(res, 200, {{"step", step}, {"stations", stations}});
    });
    http.Get("/api/v1/stations", [this](const httplib::Request &, httplib::Response &res) {
      json out = json::array();
      for (const StationSeen &st : store.stations())
        out.push_back({{"station", st.station}, {"last_start", st.lastStart}, {"runs", st.runs}});
      reply(res, 200, {{"stations", out}});
    });
    http.Get("/api/v1/records", [this](const httplib::Request &q, httplib::Response &res) {
      Query p(q);
      const Filter f = p.filter();
      if (!p.ok()) return refuse(res, 400, p.error());
      stream(res, "application/x-ndjson", "",
             [f](Store &from, const std::function<bool(const std::string &)> &write) {
               from.records(f, [&](const std::string &json) { return write(json + "\n"); });
             });
    });
    http.Get("/export.csv", [this](const httplib::Request &q, httplib::Response &res) {
      Query p(q);
      const Filter f = p.filter();
      if (!p.ok()) return refuse(res, 400, p.error());
      std::string header;
      for (const char *c : kCsvColumns) header += (header.empty() ? "" : ",") + std::string(c);
      res.set_header("Content-Disposition", "attachment; filename=\"line.csv\"");
      stream(res, "text/csv; charset=utf-8", header + "\r\n",
             [f](Store &from, const std::function<bool(const std::string &)> &write) {
               from.records(f, [&](const std::string &json) { return write(csvRows(json)); });
             });
    });
    registerPages(http, store, options);
  }

  // A long answer written as it is read from the store, a page of records at a time.
  using Producer = std::function<void(Store &, const std::function<bool(const std::string &)> &)>;
  void stream(httplib::Response &res, const char *type, std::string first, Producer produce) {
    res.set_chunked_content_provider(
        type, [this, first, produce](std::size_t, httplib::DataSink &sink) {
          if (!first.empty() && !sink.write(first.data(), first.size())) return false;
          bool open = true;
          try {
            produce(store, [&](const std::string &text) {
              open = sink.write(text.data(), text.size());
              return open;
            });
          } catch (const std::exception &e) {  // a cut answer, never a quietly short one
            return false;
          }
          if (open) sink.done();
          return open;
        });
  }

  void ingest(const httplib::Request &q, httplib::Response &res) {
    if (options.token.empty())
      return refuse(res, 403, "this server takes no records: it was started without --token-file");
    const std::string auth = q.get_header_value("Authorization");
    constexpr std::string_view kBearer = "Bearer ";
    if (auth.compare(0, kBearer.size(), kBearer) != 0 ||
        !sameToken(std::string_view(auth).substr(kBearer.size()), options.token)) {
      res.set_header("WWW-Authenticate", "Bearer");
      return refuse(res, 401, "no token, or not this server's");
    }
    if (jsonDepth(q.body) > kMaxDepth)
      return refuse(res, 400, "nested deeper than " + std::to_string(kMaxDepth));
    const json batch = json::parse(q.body, nullptr, false);
    if (batch.is_discarded()) return refuse(res, 400, "the body is not JSON");
    if (!batch.is_array()) return refuse(res, 400, "the body is not a JSON array of records");
    if (batch.size() > options.maxBatch)
      return refuse(res, 413, "more than " + std::to_string(options.maxBatch) + " records");
    std::vector<RunColumns> runs(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
      std::string why;
      if (!readRun(batch[i], runs[i], why)) {
        json body = {{"error", "record " + std::to_string(i + 1) + ": " + why}, {"index", i}};
        if (batch[i].is_object() && batch[i].contains("record_id"))
          body["record_id"] = batch[i]["record_id"];
        return reply(res, 400, body);
      }
    }
    try {
      const IngestResult r = store.ingest(runs);
      reply(res, 200, {{"ids", r.held}, {"stored", r.inserted},
                       {"already_held", r.held.size() - r.inserted}});
    } catch (const DbError &e) {
      storeFault(res, e);
    }
  }
};

LineServer::LineServer(Store &store, ServerOptions options)
    : impl_(std::make_unique<Impl>(store, std::move(options))) {}
LineServer::~LineServer() = default;

int LineServer::bind(const std::string &host, int port) {
  if (port == 0) return impl_->http.bind_to_any_port(host);
  return impl_->http.bind_to_port(host, port) ? port : -1;
}
bool LineServer::run() { return impl_->http.listen_after_bind(); }
void LineServer::stop() { impl_->http.stop(); }

}  // namespace zolvane::line
