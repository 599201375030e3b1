#pragma once

#include <QString>
#include <QUrl>

// One release that an update feed offers.
struct AppcastItem {
    // The version shown to people, e.g. 1.5.0.
    QString displayVersionString;
    // The build's version, the one compared with the running build.
    QString versionString;
    // Where a person downloads it; empty when the feed names no web page.
    QUrl infoURL;

    friend bool operator==(const AppcastItem&, const AppcastItem&) = default;
};

class Updater;

// Hears what the updater's checks found. The updater may call from any
// thread.
class UpdaterDelegate {
public:
    virtual ~UpdaterDelegate();
    // A finished check found a release newer than the running build.
    virtual void didFindValidUpdate(Updater& updater, const AppcastItem& item) = 0;
    // A finished check found nothing newer.
    virtual void didNotFindUpdate(Updater& updater) = 0;
};

// A software updater that runs from its creation: it checks on its own
// schedule, read from the build's configuration, and reports each finished
// check to its delegate. A check that cannot finish (no feed, a feed that is
// not an update feed) is logged and reported to no one.
class Updater {
public:
    virtual ~Updater();
    // A check the user asked for now; the updater shows its outcome to the
    // user itself and reports it to the delegate as well.
    virtual void checkForUpdates() = 0;
};
