#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "store/StoreError.h"

struct sqlite3;
struct sqlite3_stmt;

// A thin hold on one SQLite connection and its statements: every failure becomes a StoreError
// that names the store's file, so that callers never look at SQLite's codes.
namespace korvalot::store {

class Database;

// One prepared statement. Parameters are numbered from 1, result columns from 0.
class Statement {
public:
    Statement() = default;
    Statement(Database& db, std::string_view sql);
    ~Statement();
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, std::string_view text);
    // The text is not copied: it must stay as it is until the statement has run (Run, Reset).
    Statement& BindStatic(int index, const std::string& text);
    Statement& Bind(int index, std::int64_t value);
    Statement& Bind(int index, double value);
    Statement& BindNull(int index);
    template <typename T>
    Statement& Bind(int index, const std::optional<T>& value) {
        return value ? Bind(index, *value) : BindNull(index);
    }

    // True while a row is there to read; false once the statement is done.
    bool Step();
    // Steps a statement that returns no rows.
    void Run();
    // Ready to run again, parameters cleared.
    void Reset();

    int ColumnCount() const;
    // The result column of that name; raises StoreError when the statement has none.
    int ColumnIndex(std::string_view name) const;
    bool IsNull(int column) const;
    std::string_view Text(int column) const;
    std::optional<std::string> OptionalText(int column) const;
    std::int64_t Int(int column) const;
    double Real(int column) const;

private:
    Database* db_ = nullptr;
    sqlite3_stmt* statement_ = nullptr;
};

class Database {
public:
    // ReadOnly never writes, but may make the -wal and -shm files beside the store, and leaves
    // them; Immutable reads the file as it is and makes nothing beside it (no other process may
    // change it meanwhile).
    enum class Mode { ReadWriteCreate, ReadWrite, ReadOnly, Immutable };

    // Opens the connection; SQLite reads nothing of the file yet. Every connection knows the
    // function korvalot_words(query, text, ...): whether the texts hold every term of a words
    // query, as the words index would find them.
    Database(std::filesystem::path path, Mode mode);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // How long a lock that another connection holds is waited for.
    void SetBusyTimeout(std::chrono::milliseconds timeout);
    // Runs statements that return no rows.
    void Execute(std::string_view sql);
    // The first column of the first row, as a number.
    std::int64_t QueryInt(std::string_view sql);
    std::int64_t LastInsertId() const;
    // From any thread: the statements running on the connection end with a StoreError of
    // Problem::Interrupted. Nothing happens when none runs.
    void Interrupt() noexcept;

    const std::filesystem::path& Path() const { return path_; }
    sqlite3* Handle() const { return db_; }

    // The connection's last failure as a StoreError: "хранилище PATH: " + the reason.
    [[noreturn]] void Fail(int code) const;

private:
    std::filesystem::path path_;
    sqlite3* db_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT; rolled back when left without Commit.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void Commit();

private:
    Database& db_;
    bool open_ = true;
};

}  // namespace korvalot::store
