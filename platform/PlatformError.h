#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// A failure reported by the operating system, carried as the system worded
// it: the user sees `localizedDescription` verbatim.
class PlatformError : public std::exception {
public:
    PlatformError(QString domain, int code, QString localizedDescription)
        : m_domain(std::move(domain))
        , m_code(code)
        , m_description(std::move(localizedDescription))
        , m_what(m_description.toUtf8()) {}

    const QString& domain() const { return m_domain; }
    int code() const { return m_code; }
    const QString& localizedDescription() const { return m_description; }
    const char* what() const noexcept override { return m_what.constData(); }

private:
    QString m_domain;
    int m_code;
    QString m_description;
    QByteArray m_what;
};
