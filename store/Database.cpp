#include "store/Database.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "store/Words.h"

namespace korvalot::store {
namespace {

using Problem = StoreError::Problem;

struct Reason {
    Problem problem;
    std::string text;
};

Reason Classify(int code, int systemError, const char* sqliteMessage) {
    const std::string system = systemError != 0 ? std::strerror(systemError) : sqliteMessage;
    switch (code & 0xFF) {
        case SQLITE_NOTADB:
            return {Problem::NotADatabase, "это не база данных SQLite"};
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return {Problem::Locked, "занято другим процессом"};
        case SQLITE_FULL:
            return {Problem::CannotWrite, "не удалось записать: диск заполнен"};
        case SQLITE_READONLY:
            return {Problem::CannotWrite, "не удалось записать: файл только для чтения"};
        case SQLITE_IOERR:
            // A file-size limit and a full disk reach SQLite as failed writes. SQLite may have
            // lost the system's reason by the time it reports the failure.
            switch (code) {
                case SQLITE_IOERR_WRITE:
                case SQLITE_IOERR_SHMSIZE:
                case SQLITE_IOERR_FSYNC:
                case SQLITE_IOERR_TRUNCATE:
                    return {Problem::CannotWrite, systemError != 0
                                                      ? "не удалось записать: " + system
                                                      : std::string("не удалось записать на диск")};
                default:
                    break;
            }
            if (systemError == EFBIG || systemError == ENOSPC || systemError == EDQUOT)
                return {Problem::CannotWrite, "не удалось записать: " + system};
            return {Problem::Other, "ошибка чтения или записи: " + system};
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return {Problem::CannotOpen, "не открывается: " + system};
        case SQLITE_CORRUPT:
            return {Problem::Damaged, "база данных повреждена"};
        case SQLITE_INTERRUPT:
            return {Problem::Interrupted, "запрос прерван"};
        default:
            return {Problem::Other, sqliteMessage};
    }
}

// korvalot_words(query, text, ...): the query's terms are parsed once per statement.
void WordsFunction(sqlite3_context* context, int count, sqlite3_value** values) {
    using Terms = std::vector<WordsTerm>;
    std::unique_ptr<Terms> parsed;
    const auto* terms = static_cast<const Terms*>(sqlite3_get_auxdata(context, 0));
    if (terms == nullptr) {
        const auto* query = reinterpret_cast<const char*>(sqlite3_value_text(values[0]));
        parsed = std::make_unique<Terms>(ParseWordsQuery(query != nullptr ? query : ""));
        terms = parsed.get();
    }
    std::vector<std::string_view> texts;
    for (int k = 1; k < count; ++k) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(values[k]));
        if (text != nullptr)
            texts.emplace_back(text, static_cast<std::size_t>(sqlite3_value_bytes(values[k])));
    }
    sqlite3_result_int(context, !terms->empty() && WordsMatch(*terms, texts));
    // Kept for the next row; SQLite frees it (at once, when it cannot keep it).
    if (parsed)
        sqlite3_set_auxdata(context, 0, parsed.release(),
                            [](void* p) { delete static_cast<Terms*>(p); });
}

// An address SQLite reads as a file name with options: the path with every character that
// means something in an address written as %XX.
std::string FileUri(const std::filesystem::path& path) {
    std::string uri = "file:";
    for (const char c : std::filesystem::absolute(path).string()) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '?' || c == '#' || c == '%' || u < 0x20 || u >= 0x80) {
            static const char kHex[] = "0123456789ABCDEF";
            uri += '%';
            uri += kHex[u >> 4];
            uri += kHex[u & 0xF];
        } else {
            uri += c;
        }
    }
    return uri;
}

}  // namespace

Statement::Statement(Database& db, std::string_view sql) : db_(&db) {
    const int code = sqlite3_prepare_v3(db.Handle(), sql.data(), static_cast<int>(sql.size()),
                                        SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
    if (code != SQLITE_OK)
        db.Fail(code);
}

Statement::~Statement() {
    sqlite3_finalize(statement_);
}

Statement::Statement(Statement&& other) noexcept
    : db_(other.db_), statement_(std::exchange(other.statement_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(statement_);
        db_ = other.db_;
        statement_ = std::exchange(other.statement_, nullptr);
    }
    return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
    // SQLITE_TRANSIENT: the text is copied, so a temporary may be bound.
    const int code = sqlite3_bind_text(statement_, index, text.data(),
                                       static_cast<int>(text.size()), SQLITE_TRANSIENT);
    if (code != SQLITE_OK)
        db_->Fail(code);
    return *this;
}

Statement& Statement::BindStatic(int index, const std::string& text) {
    const int code = sqlite3_bind_text(statement_, index, text.data(),
                                       static_cast<int>(text.size()), SQLITE_STATIC);
    if (code != SQLITE_OK)
        db_->Fail(code);
    return *this;
}

Statement& Statement::Bind(int index, std::int64_t value) {
    const int code = sqlite3_bind_int64(statement_, index, value);
    if (code != SQLITE_OK)
        db_->Fail(code);
    return *this;
}

Statement& Statement::Bind(int index, double value) {
    const int code = sqlite3_bind_double(statement_, index, value);
    if (code != SQLITE_OK)
        db_->Fail(code);
    return *this;
}

Statement& Statement::BindNull(int index) {
    const int code = sqlite3_bind_null(statement_, index);
    if (code != SQLITE_OK)
        db_->Fail(code);
    return *this;
}

bool Statement::Step() {
    const int code = sqlite3_step(statement_);
    if (code == SQLITE_ROW)
        return true;
    if (code == SQLITE_DONE)
        return false;
    // The statement keeps the failure until it is reset; the next use starts clean.
    sqlite3_reset(statement_);
    db_->Fail(code);
}

void Statement::Run() {
    while (Step()) {
    }
    Reset();
}

void Statement::Reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

int Statement::ColumnCount() const {
    return sqlite3_column_count(statement_);
}

int Statement::ColumnIndex(std::string_view name) const {
    for (int k = 0; k < ColumnCount(); ++k) {
        if (const char* each = sqlite3_column_name(statement_, k); each != nullptr && name == each)
            return k;
    }
    throw StoreError(
        StoreError::Problem::Other,
        "хранилище " + db_->Path().string() + ": в запросе нет столбца " + std::string(name));
}

bool Statement::IsNull(int column) const {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::string_view Statement::Text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    if (text == nullptr)
        return {};
    return {text, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))};
}

std::optional<std::string> Statement::OptionalText(int column) const {
    if (IsNull(column))
        return std::nullopt;
    return std::string(Text(column));
}

std::int64_t Statement::Int(int column) const {
    return sqlite3_column_int64(statement_, column);
}

double Statement::Real(int column) const {
    return sqlite3_column_double(statement_, column);
}

Database::Database(std::filesystem::path path, Mode mode) : path_(std::move(path)) {
    int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    std::string name = path_.string();
    switch (mode) {
        case Mode::ReadWriteCreate:
            flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
            break;
        case Mode::ReadWrite:
            flags |= SQLITE_OPEN_READWRITE;
            break;
        case Mode::ReadOnly:
            flags |= SQLITE_OPEN_READONLY;
            break;
        case Mode::Immutable:
            flags |= SQLITE_OPEN_READONLY | SQLITE_OPEN_URI;
            name = FileUri(path_) + "?immutable=1";
            break;
    }
    const int code = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
    if (code != SQLITE_OK) {
        if (db_ == nullptr)
            throw StoreError(Problem::Other, "хранилище " + path_.string() + ": нет памяти");
        try {
            Fail(code);
        } catch (...) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
            throw;
        }
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_create_function_v2(db_, "korvalot_words", -1,
                               SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                               WordsFunction, nullptr, nullptr, nullptr);
}

Database::~Database() {
    // Statements are finalized by their owners first; _v2 copes with any left over.
    sqlite3_close_v2(db_);
}

void Database::SetBusyTimeout(std::chrono::milliseconds timeout) {
    sqlite3_busy_timeout(db_, static_cast<int>(timeout.count()));
}

void Database::Execute(std::string_view sql) {
    const std::string text(sql);
    const int code = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
    if (code != SQLITE_OK)
        Fail(code);
}

std::int64_t Database::QueryInt(std::string_view sql) {
    Statement statement(*this, sql);
    return statement.Step() ? statement.Int(0) : 0;
}

std::int64_t Database::LastInsertId() const {
    return sqlite3_last_insert_rowid(db_);
}

void Database::Interrupt() noexcept {
    sqlite3_interrupt(db_);
}

void Database::Fail(int code) const {
    const int extended = db_ != nullptr ? sqlite3_extended_errcode(db_) : code;
    const int systemError = db_ != nullptr ? sqlite3_system_errno(db_) : 0;
    const char* message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    // The code of the call that failed decides; the connection's may be a later one's.
    const Reason reason = Classify((code & 0xFF) == (extended & 0xFF) ? extended : code,
                                   (code & 0xFF) == SQLITE_IOERR || (code & 0xFF) == SQLITE_FULL ||
                                           (code & 0xFF) == SQLITE_CANTOPEN
                                       ? systemError
                                       : 0,
                                   message);
    throw StoreError(reason.problem, "хранилище " + path_.string() + ": " + reason.text);
}

Transaction::Transaction(Database& db) : db_(db) {
    db_.Execute("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (open_)
        sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
    db_.Execute("COMMIT");
    open_ = false;
}

}  // namespace korvalot::store
