#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;

// The app group's key/value store: one SQLite database that the app and the
// tunnel process open at the same time. Every read and write is one statement
// on its own, so each process sees the other's writes at its next read and the
// last writer of a key wins. Text and bytes are kept apart: a value stored as
// one kind reads as absent as the other. When a damaged database is moved
// aside by either process, the other follows to the fresh one at its next access.
class SettingsSuite {
public:
    static constexpr char fileName[] = "defaults.sqlite3";

    // The suite of Constants::appGroup, opened on first use and kept for the
    // life of the process. A suite that cannot be opened is a broken
    // installation: the process stops with a message that names the path.
    static SettingsSuite& shared();

    // Opens (creating if needed) the suite in `directory`. A file there that is
    // not a healthy database is moved aside and a new one started. Null, with
    // `error` set, when the database cannot be opened at all.
    static std::unique_ptr<SettingsSuite> open(const QString& directory, QString* error);
    ~SettingsSuite();

    std::optional<QString> text(const QString& key) const;
    std::optional<QByteArray> bytes(const QString& key) const;
    // Writes report whether the value reached the database.
    bool setText(const QString& key, const QString& value);
    bool setBytes(const QString& key, const QByteArray& value);
    bool remove(const QString& key);
    // Removes every key in one transaction: another process sees all of them
    // or none of them gone.
    bool removeAll(const QStringList& keys);
    // Stores `candidate` unless `key` already holds text, in one statement, and
    // returns the text the key holds afterwards: of two processes racing to
    // set it, the first wins for both.
    std::optional<QString> adoptText(const QString& key, const QString& candidate);

    const QString& path() const { return m_path; }

private:
    SettingsSuite(QString path, sqlite3* db);
    bool prepare(QString* error);
    void release() const;
    // Reconnects when the database file this connection has open was moved
    // away. Call with the mutex held. False when no usable connection is left.
    bool followMoves() const;
    std::optional<QByteArray> read(const QString& key, int type) const;
    bool write(const QString& key, int type, const void* data, qsizetype size);

    QString m_path;
    // Swapped for a new connection by followMoves(), which reads do as well.
    mutable sqlite3* m_db;
    mutable sqlite3_stmt* m_select = nullptr;
    mutable sqlite3_stmt* m_upsert = nullptr;
    mutable sqlite3_stmt* m_delete = nullptr;
    mutable std::mutex m_mutex; // one connection, shared by every thread
};
