#pragma once

class QNetworkAccessManager;

// Makes the process's network access managers, so that one place decides how
// the process reaches the network. `main()` makes one and hands it to every
// component that talks HTTP (the service client, the rule-set downloads, the
// health probes, the update feed); each session asks it for its manager.
class NetworkAccessFactory {
public:
    NetworkAccessFactory() = default;
    virtual ~NetworkAccessFactory();
    NetworkAccessFactory(const NetworkAccessFactory&) = delete;
    NetworkAccessFactory& operator=(const NetworkAccessFactory&) = delete;

    // A new manager, owned by the caller: no cache (nothing is ever answered
    // from disk), redirects only to as safe a scheme.
    virtual QNetworkAccessManager* create() const;

    // For library conveniences used where no program made a factory of its own.
    static const NetworkAccessFactory& standard();
};
