#include "service/provider/ProviderInput.h"

#include "shared/coding/JsonCoding.h"
#include "shared/tunnel/TunnelContract.h"

#include <QDeadlineTimer>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace ProviderInput {

namespace {

constexpr qsizetype maxBytes = 64 * 1024;

} // namespace

std::optional<Configuration> read(int fd, std::chrono::milliseconds limit, QString* error) {
    QByteArray data;
    const QDeadlineTimer deadline(limit);
    char buffer[4096];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        const int polled = ::poll(&ready, 1, int(deadline.remainingTime()));
        if (polled < 0 && errno == EINTR)
            continue;
        if (polled <= 0) {
            *error = u"the tunnel service did not pass the profile's provider configuration"_s;
            return std::nullopt;
        }
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0) {
            *error = u"cannot read the profile's provider configuration"_s;
            return std::nullopt;
        }
        if (got == 0)
            break;
        data.append(buffer, got);
        if (data.size() > maxBytes) {
            *error = u"the profile's provider configuration is too large"_s;
            return std::nullopt;
        }
    }
    try {
        const JsonDecoder decoder;
        const JsonDocument document(decoder, data);
        Configuration configuration{
            document.root().required(TunnelContract::subscriptionURLKey).toText()};
        if (!configuration.subscriptionURL.isEmpty())
            return configuration;
    } catch (const DecodingError&) {
        // Said below, without the input.
    }
    *error = u"the profile's provider configuration holds no subscription URL: activate "
             "Halvoran again"_s;
    return std::nullopt;
}

} // namespace ProviderInput
