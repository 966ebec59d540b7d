#include "db.h"

#include <charconv>
#include <map>

#include <libpq-fe.h>
#include <sqlite3.h>

namespace zolvane::line {
namespace {

// ---- SQLite ----

// $N -> ?N outside quoted text: SQLite's numbered parameters, the same numbers.
std::string sqliteText(std::string_view sql) {
  std::string out;
  out.reserve(sql.size());
  char quote = 0;
  for (char c : sql) {
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '$') {
      c = '?';
    }
    out += c;
  }
  return out;
}

class SqliteDb final : public Db {
 public:
  explicit SqliteDb(const std::string &path) {
    const int rc = sqlite3_open_v2(path.c_str(), &db_,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
      std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      sqlite3_close(db_);
      throw DbError("cannot open the SQLite store " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, 10000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA foreign_keys=ON");
  }
  ~SqliteDb() override {
    for (auto &[text, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close(db_);
  }

  Dialect dialect() const override { return Dialect::Sqlite; }

  void query(std::string_view sql, const Params &params,
             const std::function<void(const Row &)> &row) override {
    sqlite3_stmt *stmt = prepare(sql);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    for (std::size_t i = 0; i < params.size(); ++i) {
      const int at = static_cast<int>(i + 1);
      const int rc = params[i] ? sqlite3_bind_text(stmt, at, params[i]->data(),
                                                   static_cast<int>(params[i]->size()),
                                                   SQLITE_TRANSIENT)
                               : sqlite3_bind_null(stmt, at);
      if (rc != SQLITE_OK) fail("bind");
    }
    Row values;
    for (;;) {
      const int rc = sqlite3_step(stmt);
      if (rc == SQLITE_DONE) break;
      if (rc != SQLITE_ROW) {
        sqlite3_reset(stmt);
        fail("query");
      }
      const int n = sqlite3_column_count(stmt);
      values.assign(static_cast<std::size_t>(n), std::nullopt);
      for (int c = 0; c < n; ++c) values[static_cast<std::size_t>(c)] = column(stmt, c);
      row(values);
    }
    sqlite3_reset(stmt);
  }

  void insertRows(std::string_view table, std::string_view columns, std::size_t width,
                  const std::vector<Value> &values) override {
    std::string sql = "INSERT INTO " + std::string(table) + " (" + std::string(columns) + ") VALUES (";
    for (std::size_t c = 0; c < width; ++c) sql += (c ? ", $" : "$") + std::to_string(c + 1);
    sql += ")";
    Params row(width);
    for (std::size_t at = 0; at + width <= values.size(); at += width) {
      std::copy(values.begin() + static_cast<std::ptrdiff_t>(at),
                values.begin() + static_cast<std::ptrdiff_t>(at + width), row.begin());
      exec(sql, row);
    }
  }

  void beginWrite() override { exec("BEGIN IMMEDIATE"); }
  void rollback() noexcept override {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  bool healthy() override { return true; }

 private:
  static Value column(sqlite3_stmt *stmt, int c) {
    switch (sqlite3_column_type(stmt, c)) {
      case SQLITE_NULL: return std::nullopt;
      case SQLITE_INTEGER: return std::to_string(sqlite3_column_int64(stmt, c));
      case SQLITE_FLOAT: {  // shortest text that reads back as the same double
        char buf[32];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, sqlite3_column_double(stmt, c));
        return std::string(buf, ec == std::errc() ? end : buf);
      }
      default: {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, c));
        return std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, c)));
      }
    }
  }

  sqlite3_stmt *prepare(std::string_view sql) {
    auto it = statements_.find(std::string(sql));
    if (it != statements_.end()) return it->second;
    const std::string text = sqliteText(sql);
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db_, text.c_str(), static_cast<int>(text.size()), &stmt, nullptr) !=
        SQLITE_OK)
      fail("prepare");
    // Statements made for one batch size only are not worth keeping.
    if (statements_.size() < 256) statements_.emplace(std::string(sql), stmt);
    else transient_.reset(stmt);
    return stmt;
  }

  [[noreturn]] void fail(const char *what) {
    throw DbError(std::string("SQLite ") + what + ": " + sqlite3_errmsg(db_));
  }

  struct Finalize {
    void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
  };
  sqlite3 *db_ = nullptr;
  std::map<std::string, sqlite3_stmt *, std::less<>> statements_;
  std::unique_ptr<sqlite3_stmt, Finalize> transient_;
};

// ---- PostgreSQL ----

struct ClearResult {
  void operator()(PGresult *r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ClearResult>;

class PostgresDb final : public Db {
 public:
  explicit PostgresDb(const std::string &uri) : conn_(PQconnectdb(withDefaults(uri).c_str())) {
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
      throw DbError("cannot connect to PostgreSQL (" + redacted(uri) + "): " +
                        (conn_ ? PQerrorMessage(conn_.get()) : "out of memory"),
                    true);
    }
    PQsetNoticeProcessor(conn_.get(), [](void *, const char *) {}, nullptr);
    exec("SET client_min_messages = warning");
    // The planner's estimate for the yield query (a subquery per run) crosses the JIT threshold
    // at a few thousand runs; compiling then takes 50 to 100 ms, longer than the query runs.
    exec("SET jit = off");
  }

  Dialect dialect() const override { return Dialect::Postgres; }

  void query(std::string_view sql, const Params &params,
             const std::function<void(const Row &)> &row) override {
    std::vector<const char *> bound(params.size());
    for (std::size_t i = 0; i < params.size(); ++i)
      bound[i] = params[i] ? params[i]->c_str() : nullptr;
    const std::string text(sql);
    Result r(PQexecParams(conn_.get(), text.c_str(), static_cast<int>(params.size()), nullptr,
                          bound.data(), nullptr, nullptr, 0));
    const auto status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) failed(r.get());
    const int rows = PQntuples(r.get()), cols = PQnfields(r.get());
    Row values(static_cast<std::size_t>(cols));
    for (int i = 0; i < rows; ++i) {
      for (int c = 0; c < cols; ++c) {
        values[static_cast<std::size_t>(c)] =
            PQgetisnull(r.get(), i, c)
                ? Value()
                : Value(std::string(PQgetvalue(r.get(), i, c),
                                    static_cast<std::size_t>(PQgetlength(r.get(), i, c))));
      }
      row(values);
    }
  }

  // COPY in its text form: a row a line, values by tabs, \N for NULL, and backslash, tab, newline
  // and carriage return escaped. A value ends at a NUL byte, as a bound parameter does (libpq
  // takes them as C strings).
  void insertRows(std::string_view table, std::string_view columns, std::size_t width,
                  const std::vector<Value> &values) override {
    if (values.empty() || width == 0) return;
    const std::string sql =
        "COPY " + std::string(table) + " (" + std::string(columns) + ") FROM STDIN";
    Result start(PQexec(conn_.get(), sql.c_str()));
    if (!start || PQresultStatus(start.get()) != PGRES_COPY_IN) failed(start.get());
    std::string buf;
    buf.reserve(1 << 20);
    bool sent = true;
    auto flush = [&] {
      if (sent && PQputCopyData(conn_.get(), buf.data(), static_cast<int>(buf.size())) != 1)
        sent = false;
      buf.clear();
    };
    for (std::size_t i = 0; i < values.size(); ++i) {
      const Value &v = values[i];
      if (!v) {
        buf += "\\N";
      } else {
        for (char c : *v) {
          if (c == '\0') break;
          switch (c) {
            case '\\': buf += "\\\\"; break;
            case '\t': buf += "\\t"; break;
            case '\n': buf += "\\n"; break;
            case '\r': buf += "\\r"; break;
            default: buf += c;
          }
        }
      }
      buf += (i + 1) % width == 0 ? '\n' : '\t';
      if (buf.size() >= (1 << 20)) flush();
    }
    flush();
    // Ends the copy (or abandons it when a write failed); the server's answer says which.
    if (PQputCopyEnd(conn_.get(), sent ? nullptr : "the copy's data could not be sent") != 1)
      throw DbError(std::string("PostgreSQL: ") + PQerrorMessage(conn_.get()), true);
    Result end(PQgetResult(conn_.get()));
    for (int i = 0; i < 100; ++i) {  // the copy's last results; none after its end
      PGresult *more = PQgetResult(conn_.get());
      if (!more) break;
      PQclear(more);
    }
    if (!end || PQresultStatus(end.get()) != PGRES_COMMAND_OK) failed(end.get());
  }

  void beginWrite() override { exec("BEGIN"); }
  void rollback() noexcept override {
    if (PQstatus(conn_.get()) != CONNECTION_OK || PQtransactionStatus(conn_.get()) == PQTRANS_IDLE)
      return;
    PQclear(PQexec(conn_.get(), "ROLLBACK"));
  }
  bool healthy() override {
    if (PQstatus(conn_.get()) == CONNECTION_OK && PQtransactionStatus(conn_.get()) == PQTRANS_IDLE)
      return true;
    PQreset(conn_.get());
    return PQstatus(conn_.get()) == CONNECTION_OK;
  }

 private:
  [[noreturn]] void failed(const PGresult *r) {
    const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    // Class 08 is a connection exception, 57P0x the server shutting down.
    const bool lost = PQstatus(conn_.get()) != CONNECTION_OK ||
                      (state && (std::string_view(state).substr(0, 2) == "08" ||
                                 std::string_view(state).substr(0, 4) == "57P0"));
    throw DbError(std::string("PostgreSQL: ") + PQerrorMessage(conn_.get()), lost);
  }

  // A bounded wait for a server that is down, and a name in pg_stat_activity.
  static std::string withDefaults(const std::string &uri) {
    const char sep = uri.find('?') == std::string::npos ? '?' : '&';
    std::string out = uri;
    if (uri.find("connect_timeout=") == std::string::npos) {
      out += sep;
      out += "connect_timeout=5";
    }
    if (uri.find("application_name=") == std::string::npos) out += "&application_name=zolvane_line";
    return out;
  }
  // The URI without a password, for messages.
  static std::string redacted(const std::string &uri) {
    const auto scheme = uri.find("://");
    const auto at = uri.find('@');
    if (scheme == std::string::npos || at == std::string::npos) return uri;
    const auto colon = uri.find(':', scheme + 3);
    if (colon == std::string::npos || colon > at) return uri;
    return uri.substr(0, colon) + ":***" + uri.substr(at);
  }

  struct Finish {
    void operator()(PGconn *c) const { PQfinish(c); }
  };
  std::unique_ptr<PGconn, Finish> conn_;
};

}  // namespace

std::unique_ptr<Db> openSqlite(const std::string &path) { return std::make_unique<SqliteDb>(path); }
std::unique_ptr<Db> openPostgres(const std::string &uri) {
  return std::make_unique<PostgresDb>(uri);
}

std::unique_ptr<Db> openDb(const std::string &store) {
  if (store.rfind("sqlite:", 0) == 0) return openSqlite(store.substr(7));
  if (store.rfind("postgresql://", 0) == 0 || store.rfind("postgres://", 0) == 0)
    return openPostgres(store);
  throw DbError("a store is sqlite:PATH or postgresql://USER@HOST:PORT/DB, not \"" + store + "\"");
}

DbPool::Lease DbPool::borrow() {
  std::unique_lock lock(mutex_);
  returned_.wait(lock, [&] { return !idle_.empty() || open_ < size_; });
  if (!idle_.empty()) {
    auto db = std::move(idle_.back());
    idle_.pop_back();
    lock.unlock();
    if (!db->healthy()) {
      lock.lock();
      --open_;  // dropped: the caller's retry opens a fresh one
      returned_.notify_one();
      throw DbError("the store's connection is down", true);
    }
    return Lease(*this, std::move(db));
  }
  ++open_;
  lock.unlock();
  try {
    return Lease(*this, openDb(store_));
  } catch (...) {
    lock.lock();
    --open_;
    returned_.notify_one();
    throw;
  }
}

void DbPool::giveBack(std::unique_ptr<Db> db) {
  db->rollback();  // a lease that ended inside a failed transaction leaves none open
  std::lock_guard lock(mutex_);
  idle_.push_back(std::move(db));
  returned_.notify_one();
}

}  // namespace zolvane::line
