#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;

// The app group's key/value store: one SQLite database that the app and the
// tunnel process open at the same time. Every read and write is one statement
// on its own, so each process sees the other's writes at its next read and the
// last writer of a key wins. Text and bytes are kept apart: a value stored as
// one kind reads as absent as the other.
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

    const QString& path() const { return m_path; }

private:
    SettingsSuite(QString path, sqlite3* db);
    bool prepare(QString* error);
    std::optional<QByteArray> read(const QString& key, int type) const;
    bool write(const QString& key, int type, const void* data, qsizetype size);

    QString m_path;
    sqlite3* m_db;
    sqlite3_stmt* m_select = nullptr;
    sqlite3_stmt* m_upsert = nullptr;
    sqlite3_stmt* m_delete = nullptr;
    mutable std::mutex m_mutex; // one connection, shared by every thread
};
