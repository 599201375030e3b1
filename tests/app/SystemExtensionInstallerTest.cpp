#include "app/core/SystemExtensionInstaller.h"

#include "platform/fake/FakeExtensionRequest.h"
#include "tests/support/LogCapture.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

using Status = SystemExtensionInstaller::Status;
using Kind = Status::Kind;
using Result = ExtensionRequestDelegate::Result;

// One thing that happens to the installer: a call of activate(), or an
// answer of the system to the request at `index` (-1: the latest).
struct Event {
    enum What { activate, approval, finish, reboot, fail, supersede } what;
    int index = -1;
};

struct Row {
    const char* name;
    QList<Event> events;
    Status expected;
    qsizetype submissions;
    QStringList log;
    QList<Status> reported;
};

const QString submit = u"submitRequest dev.morvel.vpn.sysext"_s;
const QString restart = u"Restart your computer to finish enabling the VPN extension."_s;

class SystemExtensionInstallerTable : public ::testing::TestWithParam<Row> {};

TEST_P(SystemExtensionInstallerTable, EndsInTheStatusWithItsLogAndReports) {
    const Row& row = GetParam();
    FakeExtensionManager system;
    SystemExtensionInstaller installer(system);
    QList<Status> reported;
    installer.setOnStatusChange([&](const Status& s) { reported << s; });
    LogCapture log;

    for (const Event& e : row.events) {
        switch (e.what) {
        case Event::activate:
            installer.activate();
            break;
        case Event::approval:
            system.needApproval(e.index);
            break;
        case Event::finish:
            system.finish(e.index);
            break;
        case Event::reboot:
            system.finish(e.index, Result::willCompleteAfterReboot);
            break;
        case Event::fail:
            system.fail(e.index, PlatformError(u"other"_s, 12, u"Extension not found"_s));
            break;
        case Event::supersede:
            system.supersede(e.index);
            break;
        }
    }

    EXPECT_EQ(installer.status(), row.expected) << installer.status().text().toStdString();
    EXPECT_EQ(system.count(), row.submissions);
    EXPECT_EQ(log.lines(u"sysext"_s), row.log);
    ASSERT_EQ(reported.size(), row.reported.size());
    for (qsizetype i = 0; i < reported.size(); ++i)
        EXPECT_EQ(reported[i], row.reported[i]) << i;
    for (const auto& request : system.submissions())
        EXPECT_EQ(request->extensionIdentifier(), u"dev.morvel.vpn.sysext"_s);
}

using E = Event;
INSTANTIATE_TEST_SUITE_P(
    States, SystemExtensionInstallerTable,
    ::testing::Values(
        Row{"SecondActivateWhileInFlightSubmitsNothing",
            {{E::activate}, {E::activate}},
            Kind::installing,
            1,
            {u"status → installing"_s, submit},
            {Kind::installing}},
        Row{"ApprovalRenewsTheRequestAndIgnoresTheSupersededOne",
            {{E::activate}, {E::approval}, {E::approval}, {E::activate}, {E::supersede, 0}},
            Kind::needsApproval,
            2,
            {u"status → installing"_s, submit, u"status → needsApproval"_s, submit},
            {Kind::installing, Kind::needsApproval}},
        Row{"ApprovedOnceAndFinal",
            {{E::activate}, {E::approval}, {E::activate}, {E::finish}, {E::activate}},
            Kind::installed,
            2,
            {u"status → installing"_s, submit, u"status → needsApproval"_s, submit,
             u"status → installed"_s},
            {Kind::installing, Kind::needsApproval, Kind::installed}},
        Row{"RestartRequiredIsAFailure",
            {{E::activate}, {E::reboot}},
            Status::failed(restart),
            1,
            {u"status → installing"_s, submit, u"status → failed("_s + restart + u')'},
            {Kind::installing, Status::failed(restart)}},
        Row{"FailureIsLoggedAndTheNextActivateStartsOver",
            {{E::activate}, {E::fail}, {E::activate}},
            Kind::installing,
            2,
            {u"status → installing"_s, submit, u"error: didFailWithError: Extension not found"_s,
             u"status → failed(Extension not found)"_s, u"status → installing"_s, submit},
            {Kind::installing, Status::failed(u"Extension not found"_s), Kind::installing}}),
    [](const auto& p) { return std::string(p.param.name); });

} // namespace
