#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One Halvoran per user: the first start listens on a socket in the user's
// runtime directory; a later start tells it to show its window and ends.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the first; otherwise the running one has
    // been asked to raise its window (waiting at most half a second).
    bool claim();

Q_SIGNALS:
    // Another start asked for the window.
    void raiseRequested();

private:
    QString m_path;
    QLocalServer* m_server = nullptr;
};
