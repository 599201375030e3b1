#pragma once

#include <QString>

#include <chrono>
#include <optional>

// The VPN profile's provider configuration, which the tunnel service writes
// on the provider's standard input as one JSON object and then closes. It
// holds the subscription URL with its token: it is never logged or echoed.
namespace ProviderInput {

struct Configuration {
    QString subscriptionURL;
};

// Reads `fd` to its end, waiting no longer than `limit` and taking no more
// than 64 KiB. Absent, with `error` saying why (never quoting the input),
// when nothing usable arrives.
std::optional<Configuration> read(int fd, std::chrono::milliseconds limit, QString* error);

} // namespace ProviderInput
