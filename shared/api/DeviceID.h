#pragma once

#include <QString>

// This device's identifier at the service: made once, kept in the shared
// settings suite under "device_id", and never changed, not even by sign-out.
namespace DeviceID {
QString current();
}
