// One SQL connection, two kinds behind it (SQLite and PostgreSQL), so that the store writes each
// query once. Parameters are written $1, $2, ... in the text and bound, never pasted in; every
// value crosses as text or NULL (PostgreSQL infers the type from the column, SQLite applies the
// column's affinity). A failure throws DbError.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zolvane::line {

struct DbError : std::runtime_error {
  // `lost`: the connection itself is gone (server stopped, network), so a retry may succeed.
  DbError(const std::string &what, bool lost_ = false) : std::runtime_error(what), lost(lost_) {}
  bool lost;
};

using Value = std::optional<std::string>;
using Params = std::vector<Value>;
using Row = std::vector<Value>;

enum class Dialect { Sqlite, Postgres };

class Db {
 public:
  virtual ~Db() = default;
  virtual Dialect dialect() const = 0;
  // Runs a statement; `row` is called for each row it returns.
  virtual void query(std::string_view sql, const Params &params,
                     const std::function<void(const Row &)> &row) = 0;
  void exec(std::string_view sql, const Params &params = {}) {
    query(sql, params, [](const Row &) {});
  }
  // Appends rows to `table` (`width` values a row, in the order of `columns`, a constant list):
  // PostgreSQL's COPY, SQLite's one prepared INSERT stepped for each row. No conflict handling:
  // for rows the caller knows are new (the steps of runs it has just inserted).
  virtual void insertRows(std::string_view table, std::string_view columns, std::size_t width,
                          const std::vector<Value> &values) = 0;
  // A transaction that will write: SQLite takes its write lock at once (BEGIN IMMEDIATE), so two
  // writers never deadlock on the upgrade.
  virtual void beginWrite() = 0;
  void begin() { exec("BEGIN"); }
  void commit() { exec("COMMIT"); }
  // Never throws: used on the way out of a failure.
  virtual void rollback() noexcept = 0;
  // Whether the connection still works; PostgreSQL reconnects here after the server came back.
  virtual bool healthy() = 0;
};

// "sqlite:PATH" or "postgresql://USER@HOST:PORT/DB" (any libpq connection URI).
std::unique_ptr<Db> openDb(const std::string &store);
std::unique_ptr<Db> openSqlite(const std::string &path);
std::unique_ptr<Db> openPostgres(const std::string &uri);

// A few connections shared by the server's threads: each request borrows one for its duration.
class DbPool {
 public:
  DbPool(std::string store, std::size_t size) : store_(std::move(store)), size_(size) {}

  class Lease {
   public:
    Lease(DbPool &pool, std::unique_ptr<Db> db) : pool_(&pool), db_(std::move(db)) {}
    Lease(Lease &&o) noexcept : pool_(o.pool_), db_(std::move(o.db_)) {}
    Lease &operator=(Lease &&) = delete;
    ~Lease() {
      if (db_) pool_->giveBack(std::move(db_));
    }
    Db &operator*() { return *db_; }
    Db *operator->() { return db_.get(); }

   private:
    DbPool *pool_;
    std::unique_ptr<Db> db_;
  };

  Lease borrow();
  const std::string &store() const { return store_; }

 private:
  void giveBack(std::unique_ptr<Db> db);
  std::string store_;
  std::size_t size_, open_ = 0;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<Db>> idle_;
};

// Runs `work` inside a write transaction, rolling back if it throws.
template <typename F>
auto inWriteTransaction(Db &db, F &&work) {
  db.beginWrite();
  try {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      db.commit();
    } else {
      auto result = work();
      db.commit();
      return result;
    }
  } catch (...) {
    db.rollback();
    throw;
  }
}

}  // namespace zolvane::line
