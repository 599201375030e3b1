#pragma once

#include "app/core/ConnectionState.h"
#include "app/core/UpdateChecker.h"
#include "app/ui/Presentation.h"

#include <QObject>
#include <QtQml/qqml.h>

// The core's and the presentation's types under the names the screens use:
// `ConnectionState.Kind.connected`, `Presentation.Tone.green`, the power button's
// look as a value and the update checker as a type of its own.

namespace ConnectionStateForeign {
Q_NAMESPACE
QML_FOREIGN_NAMESPACE(ConnectionState)
QML_NAMED_ELEMENT(ConnectionState)
} // namespace ConnectionStateForeign

namespace PresentationForeign {
Q_NAMESPACE
QML_FOREIGN_NAMESPACE(Presentation)
QML_NAMED_ELEMENT(Presentation)
} // namespace PresentationForeign

struct PowerButtonForeign {
    Q_GADGET
    QML_FOREIGN(Presentation::PowerButton)
    QML_VALUE_TYPE(powerButtonLook)
};

struct UpdateCheckerForeign {
    Q_GADGET
    QML_FOREIGN(UpdateChecker)
    QML_NAMED_ELEMENT(UpdateChecker)
    QML_UNCREATABLE("the program makes the one update checker")
};
