#include "store.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <set>

#include "line_time.h"

namespace zolvane::line {

const char *const kMarkFirstAttempts =
    "UPDATE phone_run SET first_try = 1 - first_try WHERE first_try <> CASE WHEN verdict IN "
    "('PASS', 'FAIL') AND NOT EXISTS (SELECT 1 FROM phone_run p WHERE p.serial = phone_run.serial "
    "AND p.verdict IN ('PASS', 'FAIL') AND (p.start < phone_run.start OR (p.start = phone_run.start "
    "AND p.record_id < phone_run.record_id))) THEN 1 ELSE 0 END";

namespace {

// ---- schema ----

// One migration: what it runs on each store. The step table is partitioned by month of start
// in PostgreSQL (partitions made as records arrive); times are text in byte order ("C").
struct Migration {
  int version;
  std::vector<const char *> sqlite, postgres;
};

const Migration kMigrations[] = {
    {1,
     {
         "CREATE TABLE phone_run (record_id TEXT PRIMARY KEY, serial TEXT NOT NULL, "
         "station TEXT NOT NULL, operator TEXT NOT NULL, plan TEXT NOT NULL, "
         "plan_hash TEXT NOT NULL, host TEXT NOT NULL, start TEXT NOT NULL, "
         "duration_s DOUBLE PRECISION, verdict TEXT NOT NULL, attempt BIGINT NOT NULL, "
         "simulated INTEGER, record_json TEXT NOT NULL, received_at TEXT NOT NULL)",
         "CREATE TABLE step (record_id TEXT NOT NULL, start TEXT NOT NULL, idx INTEGER NOT NULL, "
         "name TEXT NOT NULL, value DOUBLE PRECISION, unit TEXT NOT NULL, low DOUBLE PRECISION, "
         "high DOUBLE PRECISION, verdict TEXT NOT NULL, seconds DOUBLE PRECISION, "
         "note TEXT NOT NULL, PRIMARY KEY (record_id, idx))",
         "CREATE TABLE station (name TEXT PRIMARY KEY, last_start TEXT NOT NULL, "
         "runs BIGINT NOT NULL)",
     },
     {
         "CREATE TABLE phone_run (record_id TEXT PRIMARY KEY, serial TEXT NOT NULL, "
         "station TEXT NOT NULL, operator TEXT NOT NULL, plan TEXT NOT NULL, "
         "plan_hash TEXT NOT NULL, host TEXT NOT NULL, start TEXT COLLATE \"C\" NOT NULL, "
         "duration_s DOUBLE PRECISION, verdict TEXT NOT NULL, attempt BIGINT NOT NULL, "
         "simulated SMALLINT, record_json TEXT NOT NULL, received_at TEXT NOT NULL)",
         "CREATE TABLE step (record_id TEXT NOT NULL, start TEXT COLLATE \"C\" NOT NULL, "
         "idx INTEGER NOT NULL, name TEXT NOT NULL, value DOUBLE PRECISION, unit TEXT NOT NULL, "
         "low DOUBLE PRECISION, high DOUBLE PRECISION, verdict TEXT NOT NULL, "
         "seconds DOUBLE PRECISION, note TEXT NOT NULL, PRIMARY KEY (record_id, idx, start)) "
         "PARTITION BY RANGE (start)",
         "CREATE TABLE station (name TEXT PRIMARY KEY, last_start TEXT COLLATE \"C\" NOT NULL, "
         "runs BIGINT NOT NULL)",
     }},
    // The runs of a serial with all the yield query asks of them (is there a PASS or FAIL run
    // before this one?), so that it answers from the index alone, without a row read per run.
    {2,
     {
         "DROP INDEX phone_run_serial",
         "CREATE INDEX phone_run_serial ON phone_run (serial, start, record_id, verdict)",
     },
     {
         "DROP INDEX phone_run_serial",
         "CREATE INDEX phone_run_serial ON phone_run (serial, start, record_id, verdict)",
     }},
    // Whether a run is its serial's first attempt on the line, kept with the run (set at ingest,
    // put right when an earlier attempt arrives later), so that a yield over a month reads it
    // rather than looking for an earlier attempt of every run.
    {3,
     {
         "ALTER TABLE phone_run ADD COLUMN first_try INTEGER NOT NULL DEFAULT 0",
         kMarkFirstAttempts,
     },
     {
         "ALTER TABLE phone_run ADD COLUMN first_try SMALLINT NOT NULL DEFAULT 0",
         kMarkFirstAttempts,
     }},
};

// The indexes, the same on both (PostgreSQL gives each partition its own).
const char *const kIndexes[] = {
    "CREATE INDEX phone_run_start ON phone_run (start)",
    "CREATE INDEX phone_run_station ON phone_run (station, start)",
    "CREATE INDEX phone_run_plan ON phone_run (plan, start)",
    "CREATE INDEX phone_run_serial ON phone_run (serial, start)",
    "CREATE INDEX step_name ON step (name, start)",
    "CREATE INDEX step_failed ON step (start, name) WHERE verdict = 'FAIL'",
};

// ---- parameters ----

std::string num(double v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, ec == std::errc() ? end : buf);
}
Value num(const std::optional<double> &v) { return v ? Value(num(*v)) : Value(); }

long long toInt(const Value &v) {
  if (!v) return 0;
  long long n = 0;
  std::from_chars(v->data(), v->data() + v->size(), n);
  return n;
}
std::optional<double> toDouble(const Value &v) {
  if (!v) return std::nullopt;
  // PostgreSQL writes numeric results in full; SQLite's go through to_chars.
  double d = 0;
  auto [p, ec] = std::from_chars(v->data(), v->data() + v->size(), d);
  if (ec != std::errc()) return std::nullopt;
  return d;
}

// Conditions on a run (alias r) and, where a step table is joined (alias s), on the step's
// start too, so that PostgreSQL reads only the partitions in range.
struct Where {
  std::string sql;
  Params params;
  std::string add(Value v) {
    params.push_back(std::move(v));
    return "$" + std::to_string(params.size());
  }
};

Where where(const Filter &f, Params first = {}, bool step = false) {
  Where w{"", std::move(first)};
  auto cond = [&](const std::string &c) { w.sql += (w.sql.empty() ? " WHERE " : " AND ") + c; };
  if (f.from) {
    const std::string p = w.add(*f.from);
    cond("r.start >= " + p);
    if (step) cond("s.start >= " + p);
  }
  if (f.to) {
    const std::string p = w.add(*f.to);
    cond("r.start < " + p);
    if (step) cond("s.start < " + p);
  }
  if (f.station) cond("r.station = " + w.add(*f.station));
  if (f.plan) cond("r.plan = " + w.add(*f.plan));
  return w;
}

// Sum of squared deviations from the group's mean, in two passes: a one-pass sum of squares
// loses every digit of a spread small beside its mean (a frequency in Hz, say).
Moments moments(const Row &row, std::size_t at) {
  Moments m;
  m.count = toInt(row[at]);
  m.mean = toDouble(row[at + 1]).value_or(0);
  const double ss = toDouble(row[at + 2]).value_or(0);
  m.stdDev = m.count > 1 ? std::sqrt(std::max(0.0, ss) / static_cast<double>(m.count - 1)) : 0.0;
  m.min = toDouble(row[at + 3]).value_or(0);
  m.max = toDouble(row[at + 4]).value_or(0);
  return m;
}

std::string monthAfter(const std::string &month) {  // "YYYY-MM"
  int y = std::stoi(month.substr(0, 4)), m = std::stoi(month.substr(5, 2));
  if (++m > 12) {
    m = 1;
    ++y;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d", y, m);
  return buf;
}

constexpr const char *kRunColumns =
    "record_id, serial, station, operator, plan, plan_hash, host, start, duration_s, verdict, "
    "attempt, simulated, record_json, received_at";
constexpr std::size_t kRunParams = 14;
constexpr const char *kStepColumns =
    "record_id, start, idx, name, value, unit, low, high, verdict, seconds, note";
constexpr std::size_t kStepParams = 11;

// "VALUES ($1, ...), (...)": `rows` rows of `width` parameters.
std::string valuesText(std::size_t width, std::size_t rows) {
  std::string sql = "VALUES ";
  std::size_t n = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    sql += r ? ", (" : "(";
    for (std::size_t c = 0; c < width; ++c) sql += (c ? ", $" : "$") + std::to_string(++n);
    sql += ")";
  }
  return sql;
}

// "INSERT INTO t (cols) VALUES ($1, ...), (...)" for `rows` rows.
std::string insertText(const char *table, const char *columns, std::size_t width,
                       std::size_t rows) {
  return std::string("INSERT INTO ") + table + " (" + columns + ") " + valuesText(width, rows);
}

}  // namespace

std::optional<double> YieldGroup::firstPassYield() const {
  if (firstAttempts == 0) return std::nullopt;
  return static_cast<double>(firstPassed) / static_cast<double>(firstAttempts);
}
std::optional<double> YieldGroup::finalYield() const {
  if (serials == 0) return std::nullopt;
  return static_cast<double>(finalPassed) / static_cast<double>(serials);
}

std::optional<double> StepStats::cpk() const {
  if (m.count < 2 || m.stdDev <= 0 || (!low && !high)) return std::nullopt;
  double k = INFINITY;
  if (high) k = std::min(k, (*high - m.mean) / (3 * m.stdDev));
  if (low) k = std::min(k, (m.mean - *low) / (3 * m.stdDev));
  return k;
}

Store::Store(std::string store, std::size_t connections) : pool_(std::move(store), connections) {}

template <typename F>
auto Store::withDb(F &&work) {
  for (int attempt = 0;; ++attempt) {
    try {
      auto db = pool_.borrow();
      return work(*db);
    } catch (const DbError &e) {
      if (!e.lost || attempt > 0) throw;
    }
  }
}

Dialect Store::dialect() {
  return withDb([](Db &db) { return db.dialect(); });
}

void Store::migrate() {
  withDb([](Db &db) {
    inWriteTransaction(db, [&] {
      const bool pg = db.dialect() == Dialect::Postgres;
      if (pg) db.exec("SELECT pg_advisory_xact_lock(7243001)");  // servers starting together
      db.exec("CREATE TABLE IF NOT EXISTS line_schema (version INTEGER NOT NULL)");
      int have = 0;
      db.query("SELECT MAX(version) FROM line_schema", {},
               [&](const Row &r) { have = static_cast<int>(toInt(r[0])); });
      if (have > kStoreSchemaVersion)
        throw DbError("the store has schema version " + std::to_string(have) +
                      ", newer than this program's " + std::to_string(kStoreSchemaVersion));
      for (const Migration &m : kMigrations) {
        if (m.version <= have) continue;
        for (const char *sql : pg ? m.postgres : m.sqlite) db.exec(sql);
        if (m.version == 1)
          for (const char *sql : kIndexes) db.exec(sql);
        db.exec("INSERT INTO line_schema (version) VALUES ($1)", {std::to_string(m.version)});
      }
    });
  });
}

void Store::ensurePartitions(Db &db, const std::vector<RunColumns> &batch) {
  std::set<std::string> months;
  for (const RunColumns &r : batch) months.insert(r.start.substr(0, 7));
  std::lock_guard lock(partitionsMutex_);
  for (const std::string &month : months) {
    if (std::find(partitions_.begin(), partitions_.end(), month) != partitions_.end()) continue;
    // DDL takes no parameters; the month is digits the time parser produced.
    if (month.size() != 7 || month.find_first_not_of("0123456789-") != std::string::npos)
      throw DbError("a month that is not YYYY-MM: " + month);
    const std::string name = "step_" + month.substr(0, 4) + "_" + month.substr(5, 2);
    inWriteTransaction(db, [&] {
      db.exec("SELECT pg_advisory_xact_lock(7243002)");  // servers creating the same month
      db.exec("CREATE TABLE IF NOT EXISTS " + name + " PARTITION OF step FOR VALUES FROM ('" +
              month + "') TO ('" + monthAfter(month) + "')");
    });
    partitions_.push_back(month);
  }
}

IngestResult Store::ingest(const std::vector<RunColumns> &input) {
  // One copy of each id, in id order: two batches that share ids lock them in the same order.
  std::vector<const RunColumns *> batch;
  for (const RunColumns &r : input) batch.push_back(&r);
  std::sort(batch.begin(), batch.end(),
            [](auto *a, auto *b) { return a->recordId < b->recordId; });
  batch.erase(std::unique(batch.begin(), batch.end(),
                          [](auto *a, auto *b) { return a->recordId == b->recordId; }),
              batch.end());
  const std::string now = utcText(std::chrono::system_clock::now());

  return withDb([&](Db &db) {
    if (db.dialect() == Dialect::Postgres) ensurePartitions(db, input);
    return inWriteTransaction(db, [&] {
      IngestResult result;
      std::set<std::string> inserted;
      constexpr std::size_t kRunsAStatement = 100;
      for (std::size_t at = 0; at < batch.size(); at += kRunsAStatement) {
        const std::size_t n = std::min(kRunsAStatement, batch.size() - at);
        Params p;
        p.reserve(n * kRunParams);
        for (std::size_t i = at; i < at + n; ++i) {
          const RunColumns &r = *batch[i];
          for (const std::string *s : {&r.recordId, &r.serial, &r.station, &r.operatorName,
                                       &r.plan, &r.planHash, &r.host, &r.start})
            p.emplace_back(*s);
          p.push_back(num(r.duration));
          p.emplace_back(r.verdict);
          p.emplace_back(std::to_string(r.attempt));
          p.push_back(r.simulated ? Value(*r.simulated ? "1" : "0") : Value());
          p.emplace_back(r.json);
          p.emplace_back(now);
        }
        db.query(insertText("phone_run", kRunColumns, kRunParams, n) +
                     " ON CONFLICT (record_id) DO NOTHING RETURNING record_id",
                 p, [&](const Row &row) { inserted.insert(*row[0]); });
      }

      // First attempts: the serials of the new PASS and FAIL runs, put right. In PostgreSQL
      // another server may be storing a run of the same serial at this moment; each serial's
      // lock (taken in one order by every batch) makes the second wait and then see the first's.
      std::set<std::string> serials;
      for (const RunColumns *r : batch)
        if (inserted.count(r->recordId) && (r->verdict == "PASS" || r->verdict == "FAIL"))
          serials.insert(r->serial);
      if (!serials.empty()) {
        const Params list(serials.begin(), serials.end());
        const std::string values = valuesText(1, list.size());
        if (db.dialect() == Dialect::Postgres)
          db.exec("SELECT pg_advisory_xact_lock(7243003, h) FROM (SELECT DISTINCT hashtext(s) AS h "
                  "FROM (" + values + ") AS v(s) ORDER BY 1) AS l",
                  list);
        // Only those serials' runs whose first_try is wrong change.
        db.exec(std::string(kMarkFirstAttempts) + " AND serial IN (" + values + ")", list);
      }

      // The steps of the runs new to the store, all in one go (in PostgreSQL a COPY: a
      // multi-row INSERT spends more time parsing and binding its parameters than storing).
      std::vector<Value> steps;
      std::map<std::string, std::pair<std::string, long long>> seen;  // station: last start, runs
      for (const RunColumns *r : batch) {
        if (!inserted.count(r->recordId)) continue;
        auto &s = seen[r->station];
        s.first = std::max(s.first, r->start);
        ++s.second;
        for (const StepColumns &st : r->steps) {
          steps.emplace_back(r->recordId);
          steps.emplace_back(r->start);
          steps.emplace_back(std::to_string(st.index));
          steps.emplace_back(st.name);
          steps.push_back(num(st.value));
          steps.emplace_back(st.unit);
          steps.push_back(num(st.low));
          steps.push_back(num(st.high));
          steps.emplace_back(st.verdict);
          steps.push_back(num(st.seconds));
          steps.emplace_back(st.note);
        }
      }
      db.insertRows("step", kStepColumns, kStepParams, steps);
      // Every station of the batch in one statement (each once, in name order).
      if (!seen.empty()) {
        Params p;
        for (const auto &[station, s] : seen) {
          p.emplace_back(station);
          p.emplace_back(s.first);
          p.emplace_back(std::to_string(s.second));
        }
        db.exec(insertText("station", "name, last_start, runs", 3, seen.size()) +
                    " ON CONFLICT (name) DO UPDATE SET "
                    "last_start = CASE WHEN excluded.last_start > station.last_start "
                    "THEN excluded.last_start ELSE station.last_start END, "
                    "runs = station.runs + excluded.runs",
                p);
      }
      result.inserted = inserted.size();
      for (const RunColumns *r : batch) result.held.push_back(r->recordId);
      return result;
    });
  });
}

std::vector<YieldGroup> Store::yield(const Filter &f, GroupBy by) {
  const char *key = "r.station", *key2 = "''";
  switch (by) {
    case GroupBy::Station: break;
    case GroupBy::Plan: key = "r.plan"; break;
    case GroupBy::Hour: key = "SUBSTR(r.start, 1, 13)"; break;
    case GroupBy::Day: key = "SUBSTR(r.start, 1, 10)"; break;
    case GroupBy::StationPlan: key2 = "r.plan"; break;
  }
  const Where w = where(f);
  // An attempt is first when no PASS or FAIL run of its serial started before it, anywhere on the
  // line; ties go by record id, which rises with time. Ingest keeps that in first_try.
  const std::string sql =
      std::string("WITH runs AS (SELECT ") + key + " AS k, " + key2 +
      " AS k2, r.serial, r.verdict, r.start, r.record_id, r.first_try "
      "FROM phone_run r" + w.sql + "), "
      "tried AS (SELECT k, k2, serial, verdict, first_try, "
      "ROW_NUMBER() OVER (PARTITION BY k, k2, serial ORDER BY start DESC, record_id DESC) "
      "AS n_last FROM runs WHERE verdict IN ('PASS', 'FAIL')), "
      "totals AS (SELECT k, k2, COUNT(*) AS runs, "
      "SUM(CASE WHEN verdict = 'PASS' THEN 1 ELSE 0 END) AS pass, "
      "SUM(CASE WHEN verdict = 'FAIL' THEN 1 ELSE 0 END) AS fail, "
      "SUM(CASE WHEN verdict = 'ERROR' THEN 1 ELSE 0 END) AS error, "
      "SUM(CASE WHEN verdict = 'ABORTED' THEN 1 ELSE 0 END) AS aborted "
      "FROM runs GROUP BY k, k2), "
      "yields AS (SELECT k, k2, COUNT(*) AS attempts, "
      "SUM(CASE WHEN n_last = 1 THEN 1 ELSE 0 END) AS serials, SUM(first_try) AS firsts, "
      "SUM(CASE WHEN first_try = 1 AND verdict = 'PASS' THEN 1 ELSE 0 END) AS first_passed, "
      "SUM(CASE WHEN n_last = 1 AND verdict = 'PASS' THEN 1 ELSE 0 END) AS final_passed "
      "FROM tried GROUP BY k, k2) "
      "SELECT t.k, t.k2, t.runs, t.error + t.aborted, y.attempts, y.serials, y.firsts, "
      "y.first_passed, y.final_passed, t.pass, t.fail, t.error, t.aborted FROM totals t LEFT JOIN yields y ON y.k = t.k AND y.k2 = t.k2 "
      "ORDER BY t.k, t.k2";
  return withDb([&](Db &db) {
    std::vector<YieldGroup> out;
    db.query(sql, w.params, [&](const Row &r) {
      YieldGroup g;
      g.key = r[0].value_or("");
      g.key2 = r[1].value_or("");
      g.runs = toInt(r[2]);
      g.stationErrors = toInt(r[3]);
      g.attempts = toInt(r[4]);
      g.serials = toInt(r[5]);
      g.firstAttempts = toInt(r[6]);
      g.firstPassed = toInt(r[7]);
      g.finalPassed = toInt(r[8]);
      g.pass = toInt(r[9]);
      g.fail = toInt(r[10]);
      g.error = toInt(r[11]);
      g.aborted = toInt(r[12]);
      out.push_back(std::move(g));
    });
    return out;
  });
}

std::vector<ParetoRow> Store::pareto(const Filter &f, std::size_t limit) {
  Where w = where(f, {}, true);
  const std::string sql =
      "SELECT s.name, COUNT(DISTINCT r.serial), COUNT(*) FROM step s "
      "JOIN phone_run r ON r.record_id = s.record_id" +
      w.sql + (w.sql.empty() ? " WHERE " : " AND ") +
      "s.verdict = 'FAIL' GROUP BY s.name ORDER BY 2 DESC, 3 DESC, 1 LIMIT " +
      w.add(std::to_string(limit));
  return withDb([&](Db &db) {
    std::vector<ParetoRow> out;
    db.query(sql, w.params, [&](const Row &r) {
      out.push_back({r[0].value_or(""), toInt(r[1]), toInt(r[2])});
    });
    return out;
  });
}

std::vector<StepStats> Store::stepStats(const std::string &step, const Filter &f) {
  const Where w = where(f, {step}, true);
  const std::string sql =
      "WITH v AS (SELECT r.station, s.value, s.low, s.high, s.unit FROM step s "
      "JOIN phone_run r ON r.record_id = s.record_id" +
      w.sql + (w.sql.empty() ? " WHERE " : " AND ") +
      "s.name = $1 AND s.value IS NOT NULL), "
      "m AS (SELECT station, COUNT(*) AS n, AVG(value) AS mean, MIN(value) AS lo, "
      "MAX(value) AS hi, MAX(low) AS low, MIN(high) AS high, MAX(unit) AS unit "
      "FROM v GROUP BY station) "
      "SELECT m.station, m.n, m.mean, SUM((v.value - m.mean) * (v.value - m.mean)), m.lo, m.hi, "
      "m.low, m.high, m.unit FROM m JOIN v ON v.station = m.station "
      "GROUP BY m.station, m.n, m.mean, m.lo, m.hi, m.low, m.high, m.unit ORDER BY m.station";
  return withDb([&](Db &db) {
    std::vector<StepStats> out;
    db.query(sql, w.params, [&](const Row &r) {
      StepStats s;
      s.station = r[0].value_or("");
      s.m = moments(r, 1);
      s.low = toDouble(r[6]);
      s.high = toDouble(r[7]);
      s.unit = r[8].value_or("");
      out.push_back(std::move(s));
    });
    return out;
  });
}

std::vector<std::pair<std::string, double>> Store::stepValues(const std::string &step,
                                                              const Filter &f,
                                                              std::size_t limit) {
  Where w = where(f, {step}, true);
  const std::string sql = "SELECT r.station, s.value FROM step s JOIN phone_run r ON "
                          "r.record_id = s.record_id" +
                          w.sql + (w.sql.empty() ? " WHERE " : " AND ") +
                          "s.name = $1 AND s.value IS NOT NULL ORDER BY s.start DESC LIMIT " +
                          w.add(std::to_string(limit));
  return withDb([&](Db &db) {
    std::vector<std::pair<std::string, double>> out;
    db.query(sql, w.params, [&](const Row &r) {
      if (auto v = toDouble(r[1])) out.emplace_back(r[0].value_or(""), *v);
    });
    return out;
  });
}

std::vector<HourCounts> Store::perHour(const Filter &f) {
  const Where w = where(f);
  const std::string sql =
      "SELECT SUBSTR(r.start, 1, 13) AS h, "
      "SUM(CASE WHEN r.verdict = 'PASS' THEN 1 ELSE 0 END), "
      "SUM(CASE WHEN r.verdict = 'FAIL' THEN 1 ELSE 0 END), "
      "SUM(CASE WHEN r.verdict IN ('ERROR', 'ABORTED') THEN 1 ELSE 0 END) "
      "FROM phone_run r" + w.sql + " GROUP BY SUBSTR(r.start, 1, 13) ORDER BY 1";
  return withDb([&](Db &db) {
    std::vector<HourCounts> out;
    db.query(sql, w.params, [&](const Row &r) {
      out.push_back({r[0].value_or(""), toInt(r[1]), toInt(r[2]), toInt(r[3])});
    });
    return out;
  });
}

std::vector<StationSeen> Store::stations() {
  return withDb([&](Db &db) {
    std::vector<StationSeen> out;
    db.query("SELECT name, last_start, runs FROM station ORDER BY name", {},
             [&](const Row &r) { out.push_back({r[0].value_or(""), r[1].value_or(""), toInt(r[2])}); });
    return out;
  });
}

std::vector<TestTime> Store::testTimes(const Filter &f) {
  Where w = where(f);
  const std::string cond = (w.sql.empty() ? " WHERE " : " AND ") +
                           std::string("r.verdict IN ('PASS', 'FAIL') AND r.duration_s IS NOT NULL");
  const std::string sql =
      "WITH v AS (SELECT r.station, r.plan, r.duration_s AS d FROM phone_run r" + w.sql + cond +
      "), m AS (SELECT station, plan, COUNT(*) AS n, AVG(d) AS mean, MIN(d) AS lo, MAX(d) AS hi "
      "FROM v GROUP BY station, plan) "
      "SELECT m.station, m.plan, m.n, m.mean, SUM((v.d - m.mean) * (v.d - m.mean)), m.lo, m.hi "
      "FROM m JOIN v ON v.station = m.station AND v.plan = m.plan "
      "GROUP BY m.station, m.plan, m.n, m.mean, m.lo, m.hi ORDER BY m.station, m.plan";
  return withDb([&](Db &db) {
    std::vector<TestTime> out;
    db.query(sql, w.params, [&](const Row &r) {
      out.push_back({r[0].value_or(""), r[1].value_or(""), moments(r, 2)});
    });
    return out;
  });
}

std::vector<std::string> Store::serial(const std::string &serial, std::size_t limit) {
  return withDb([&](Db &db) {
    std::vector<std::string> out;
    db.query("SELECT record_json FROM phone_run WHERE serial = $1 "
             "ORDER BY start, attempt, record_id LIMIT $2",
             {serial, std::to_string(limit)},
             [&](const Row &r) { out.push_back(r[0].value_or("")); });
    return out;
  });
}

void Store::records(const Filter &f, const std::function<bool(const std::string &)> &each) {
  // Pages of a thousand, each after the last one's (start, id): memory stays flat whatever the
  // span, and no connection is held while the caller writes.
  std::optional<std::pair<std::string, std::string>> after;
  for (;;) {
    Where w = where(f);
    std::string sql = "SELECT r.record_json, r.start, r.record_id FROM phone_run r" + w.sql;
    if (after) {
      const std::string a = w.add(after->first), b = w.add(after->second);
      sql += (w.sql.empty() ? " WHERE " : " AND ") + std::string("(r.start > ") + a +
             " OR (r.start = " + a + " AND r.record_id > " + b + "))";
    }
    sql += " ORDER BY r.start, r.record_id LIMIT 1000";
    std::vector<std::pair<std::string, std::pair<std::string, std::string>>> page;
    withDb([&](Db &db) {
      page.clear();
      db.query(sql, w.params, [&](const Row &r) {
        page.push_back({r[0].value_or(""), {r[1].value_or(""), r[2].value_or("")}});
      });
    });
    for (const auto &[json, key] : page)
      if (!each(json)) return;
    if (page.size() < 1000) return;
    after = page.back().second;
  }
}

long long Store::count() {
  return withDb([](Db &db) {
    long long n = 0;
    db.query("SELECT COUNT(*) FROM phone_run", {}, [&](const Row &r) { n = toInt(r[0]); });
    return n;
  });
}

}  // namespace zolvane::line
