#pragma once

#include "app/core/ConnectionState.h"
#include "shared/model/SubscriptionMetadata.h"
#include "shared/settings/SharedDefaults.h"

#include <QString>

#include <optional>

// The plain-text report that support staff read, copied from the settings
// sheet. Never contains the subscription URL or its token.
namespace DiagnosticReport {

struct Facts {
    QString appVersion;
    // The running system as the "os: " line names it.
    QString operatingSystem;
    ConnectionState state;
    std::optional<QString> preferredEdgeTag;
    SharedDefaults::RoutingMode routingMode = SharedDefaults::RoutingMode::selective;
    std::optional<SubscriptionMetadata> metadata;
    // The closing line that says where the tunnel's logs are read.
    QString logHint;
};

// The state's case name; an error as error("<message>") with the message's
// backslashes, quotation marks and control characters escaped.
QString stateDescription(const ConnectionState& state);

// Every line ends with a line feed. Values from the network or the system
// have their control characters escaped, so none can add or break a line.
QString build(const Facts& facts);

} // namespace DiagnosticReport
