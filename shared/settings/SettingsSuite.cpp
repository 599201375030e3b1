#include "shared/settings/SettingsSuite.h"

#include "platform/AppGroup.h"
#include "shared/settings/Constants.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// How long one statement waits for the other process's write to finish before
// giving up. Writes take microseconds; this only guards against a stuck peer.
constexpr int busyTimeoutMs = 5000;

QString sqliteError(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

bool isDamaged(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// Creates the database file owner-only before SQLite does, and tightens an
// existing one: it holds the subscription token. SQLite gives its -wal and
// -shm files the permissions of the database file.
bool ensurePrivateFile(const QByteArray& path, QString* error) {
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || ::fchmod(fd, 0600) != 0) {
        *error = QFile::decodeName(path) + u": " + QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

// Returns the SQLite result code of the first failing step, SQLITE_OK when the
// database is usable, or SQLITE_CORRUPT when its own check finds damage.
int initialise(sqlite3* db) {
    static const char* const steps[] = {
        "PRAGMA journal_mode=WAL",
        // In WAL mode NORMAL keeps the database consistent across a crash;
        // only a power loss can drop the last writes.
        "PRAGMA synchronous=NORMAL",
        // No column type, so each value keeps the kind (text or blob) it was stored as.
        "CREATE TABLE IF NOT EXISTS entries (key TEXT PRIMARY KEY NOT NULL, value NOT NULL) "
        "WITHOUT ROWID",
    };
    for (const char* sql : steps) {
        if (int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr); rc != SQLITE_OK)
            return rc;
    }
    sqlite3_stmt* check = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &check, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    rc = sqlite3_step(check);
    const bool healthy =
        rc == SQLITE_ROW &&
        std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok") == 0;
    if (rc == SQLITE_ROW)
        rc = SQLITE_OK;
    sqlite3_finalize(check);
    return rc != SQLITE_OK ? rc : healthy ? SQLITE_OK : SQLITE_CORRUPT;
}

// Moved-aside databases hold the token too: only the newest few are kept.
constexpr qsizetype damagedCopiesKept = 3;

void pruneDamagedCopies(const QString& path) {
    const QFileInfo database(path);
    QDir directory = database.absoluteDir();
    const QString stem = database.fileName() + u".damaged-";
    QStringList copies;
    for (const QString& name : directory.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (name.startsWith(stem) && !name.endsWith(u"-wal") && !name.endsWith(u"-shm"))
            copies.append(name);
    }
    copies.sort(); // the time in the name sorts oldest first
    for (qsizetype i = 0; i + damagedCopiesKept < copies.size(); ++i) {
        for (const char* suffix : {"", "-wal", "-shm"})
            directory.remove(copies[i] + QLatin1StringView(suffix));
    }
}

// Moves a damaged database (and its journal files) aside, so the user keeps
// a copy for support while the app starts afresh. Only the very file found
// damaged is moved: if another process replaced it meanwhile, that one stays.
void moveAside(const QByteArray& path, const struct stat& damaged) {
    struct stat now {};
    if (::stat(path.constData(), &now) != 0 || now.st_ino != damaged.st_ino ||
        now.st_dev != damaged.st_dev)
        return;
    const QByteArray aside =
        path + ".damaged-" +
        QDateTime::currentDateTimeUtc().toString(u"yyyyMMddTHHmmsszzz"_s).toLatin1();
    for (const char* suffix : {"-wal", "-shm", ""})
        ::rename(QByteArray(path + suffix).constData(), QByteArray(aside + suffix).constData());
    pruneDamagedCopies(QFile::decodeName(path));
}

sqlite3* openConnection(const QByteArray& path, QString* error) {
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.constData(), &db, flags, nullptr) != SQLITE_OK) {
        *error = QFile::decodeName(path) + u": " + sqliteError(db);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busyTimeoutMs);
    return db;
}

} // namespace

SettingsSuite& SettingsSuite::shared() {
    static SettingsSuite* const suite = [] {
        QString error;
        const QString directory = AppGroup::suiteDirectory(Constants::appGroup, &error);
        std::unique_ptr<SettingsSuite> opened =
            directory.isEmpty() ? nullptr : SettingsSuite::open(directory, &error);
        if (!opened)
            qFatal("Cannot open the shared settings suite: %s", qUtf8Printable(error));
        return opened.release(); // kept for the life of the process
    }();
    return *suite;
}

std::unique_ptr<SettingsSuite> SettingsSuite::open(const QString& directory, QString* error) {
    const QString path = directory + u'/' + QLatin1StringView(fileName);
    const QByteArray native = QFile::encodeName(path);
    // Another process creating or converting the file at the same moment
    // holds locks that SQLite does not wait for (it gives up at once where
    // waiting could deadlock): those are waited out here, within the same
    // bound as any statement.
    const QDeadlineTimer patience(busyTimeoutMs);
    bool movedAside = false;
    for (;;) {
        if (!ensurePrivateFile(native, error))
            return nullptr;
        struct stat identity {};
        ::stat(native.constData(), &identity);
        sqlite3* db = openConnection(native, error);
        if (!db)
            return nullptr;
        const int rc = initialise(db);
        if (rc == SQLITE_OK) {
            std::unique_ptr<SettingsSuite> suite(new SettingsSuite(path, db));
            if (suite->prepare(error))
                return suite;
            return nullptr;
        }
        *error = path + u": " + QString::fromUtf8(sqlite3_errstr(rc));
        sqlite3_close(db);
        const int primary = rc & 0xff;
        if ((primary == SQLITE_BUSY || primary == SQLITE_LOCKED) && !patience.hasExpired()) {
            QThread::msleep(2);
            continue;
        }
        if (!isDamaged(rc) || std::exchange(movedAside, true))
            return nullptr;
        moveAside(native, identity);
    }
}

SettingsSuite::SettingsSuite(QString path, sqlite3* db)
    : m_path(std::move(path))
    , m_db(db) {}

SettingsSuite::~SettingsSuite() {
    release();
}

void SettingsSuite::release() const {
    sqlite3_finalize(m_select);
    sqlite3_finalize(m_upsert);
    sqlite3_finalize(m_delete);
    sqlite3_close(m_db);
    m_select = m_upsert = m_delete = nullptr;
    m_db = nullptr;
}

bool SettingsSuite::followMoves() const {
    // One stat of the path: cheap beside the statement it guards, and the only
    // way to notice, since the moved file still answers every statement.
    int moved = 0;
    if (m_db && sqlite3_file_control(m_db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
        !moved)
        return true;
    QString error;
    std::unique_ptr<SettingsSuite> fresh = open(QFileInfo(m_path).absolutePath(), &error);
    if (!fresh)
        return false;
    release();
    std::swap(m_db, fresh->m_db);
    std::swap(m_select, fresh->m_select);
    std::swap(m_upsert, fresh->m_upsert);
    std::swap(m_delete, fresh->m_delete);
    return true;
}

bool SettingsSuite::prepare(QString* error) {
    const auto make = [this](const char* sql, sqlite3_stmt** statement) {
        return sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) ==
               SQLITE_OK;
    };
    if (make("SELECT value FROM entries WHERE key = ?1", &m_select) &&
        make("INSERT INTO entries (key, value) VALUES (?1, ?2) "
             "ON CONFLICT (key) DO UPDATE SET value = excluded.value",
             &m_upsert) &&
        make("DELETE FROM entries WHERE key = ?1", &m_delete))
        return true;
    *error = m_path + u": " + sqliteError(m_db);
    return false;
}

// The value stored under `key` as raw bytes, when it was stored as `type`.
std::optional<QByteArray> SettingsSuite::read(const QString& key, int type) const {
    std::lock_guard lock(m_mutex);
    if (!followMoves())
        return std::nullopt;
    const QByteArray utf8 = key.toUtf8();
    sqlite3_bind_text(m_select, 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    std::optional<QByteArray> value;
    if (sqlite3_step(m_select) == SQLITE_ROW && sqlite3_column_type(m_select, 0) == type) {
        const void* data = type == SQLITE_TEXT
                               ? static_cast<const void*>(sqlite3_column_text(m_select, 0))
                               : sqlite3_column_blob(m_select, 0);
        value = QByteArray(static_cast<const char*>(data), sqlite3_column_bytes(m_select, 0));
    }
    sqlite3_reset(m_select);
    return value;
}

std::optional<QString> SettingsSuite::text(const QString& key) const {
    const std::optional<QByteArray> utf8 = read(key, SQLITE_TEXT);
    return utf8 ? std::optional(QString::fromUtf8(*utf8)) : std::nullopt;
}

std::optional<QByteArray> SettingsSuite::bytes(const QString& key) const {
    return read(key, SQLITE_BLOB);
}

bool SettingsSuite::write(const QString& key, int type, const void* data, qsizetype size) {
    std::lock_guard lock(m_mutex);
    if (!followMoves())
        return false;
    const QByteArray utf8 = key.toUtf8();
    sqlite3_bind_text(m_upsert, 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    if (type == SQLITE_TEXT)
        sqlite3_bind_text64(m_upsert, 2, static_cast<const char*>(data), sqlite3_uint64(size),
                            SQLITE_TRANSIENT, SQLITE_UTF8);
    else
        // An empty blob still needs a non-null pointer, or SQLite stores NULL.
        sqlite3_bind_blob64(m_upsert, 2, size ? data : "", sqlite3_uint64(size), SQLITE_TRANSIENT);
    const bool done = sqlite3_step(m_upsert) == SQLITE_DONE;
    sqlite3_reset(m_upsert);
    return done;
}

bool SettingsSuite::setText(const QString& key, const QString& value) {
    const QByteArray utf8 = value.toUtf8();
    return write(key, SQLITE_TEXT, utf8.constData(), utf8.size());
}

bool SettingsSuite::setBytes(const QString& key, const QByteArray& value) {
    return write(key, SQLITE_BLOB, value.constData(), value.size());
}

bool SettingsSuite::remove(const QString& key) {
    return removeAll({key});
}

bool SettingsSuite::removeAll(const QStringList& keys) {
    std::lock_guard lock(m_mutex);
    if (!followMoves())
        return false;
    // IMMEDIATE takes the write lock at once (waiting out the other process
    // like any write), so the transaction cannot fail half-way on a busy lock.
    bool done = keys.size() < 2 ||
                sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (qsizetype i = 0; done && i < keys.size(); ++i) {
        const QByteArray utf8 = keys[i].toUtf8();
        sqlite3_bind_text(m_delete, 1, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        done = sqlite3_step(m_delete) == SQLITE_DONE;
        sqlite3_reset(m_delete);
    }
    if (keys.size() >= 2 && sqlite3_get_autocommit(m_db) == 0 &&
        (!done || sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)) {
        done = false;
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return done;
}

std::optional<QString> SettingsSuite::adoptText(const QString& key, const QString& candidate) {
    std::lock_guard lock(m_mutex);
    if (!followMoves())
        return std::nullopt;
    sqlite3_stmt* adopt = nullptr;
    if (sqlite3_prepare_v2(m_db,
                           "INSERT INTO entries (key, value) VALUES (?1, ?2) "
                           "ON CONFLICT (key) DO UPDATE SET value = CASE "
                           "WHEN typeof(entries.value) = 'text' THEN entries.value "
                           "ELSE excluded.value END RETURNING value",
                           -1, &adopt, nullptr) != SQLITE_OK)
        return std::nullopt;
    const QByteArray k = key.toUtf8(), v = candidate.toUtf8();
    sqlite3_bind_text(adopt, 1, k.constData(), int(k.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(adopt, 2, v.constData(), int(v.size()), SQLITE_TRANSIENT);
    std::optional<QString> held;
    if (sqlite3_step(adopt) == SQLITE_ROW && sqlite3_column_type(adopt, 0) == SQLITE_TEXT)
        held = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(adopt, 0)),
                                 sqlite3_column_bytes(adopt, 0));
    // RETURNING hands the row out before the insert is done: step to the end.
    while (sqlite3_step(adopt) == SQLITE_ROW) {
    }
    sqlite3_finalize(adopt);
    return held;
}
