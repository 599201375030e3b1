#pragma once

#include "platform/Updater.h"

// An updater whose checks the test finishes by hand.
class FakeUpdater final : public Updater {
public:
    explicit FakeUpdater(UpdaterDelegate& delegate)
        : m_delegate(delegate) {}

    void checkForUpdates() override { ++userChecks; }

    void find(const AppcastItem& item) { m_delegate.didFindValidUpdate(*this, item); }
    void findNothing() { m_delegate.didNotFindUpdate(*this); }

    int userChecks = 0;

private:
    UpdaterDelegate& m_delegate;
};
