#include "shared/settings/Constants.h"

namespace Constants {

const QUrl& apiBaseURL() {
    static const QUrl url = [] {
        const QUrl parsed(QStringLiteral(HALVORAN_API_BASE_URL), QUrl::StrictMode);
        if (!parsed.isValid() || parsed.host().isEmpty())
            qFatal("The service address this build was made with does not parse: %s",
                   HALVORAN_API_BASE_URL);
        return parsed;
    }();
    return url;
}

const QUrl& probeOrigin() {
#ifdef HALVORAN_PROBE_ORIGIN
    static const QUrl url(QStringLiteral(HALVORAN_PROBE_ORIGIN), QUrl::StrictMode);
#else
    static const QUrl url;
#endif
    return url;
}

} // namespace Constants
