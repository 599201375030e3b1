#include "shared/net/NetworkAccess.h"

#include <QNetworkAccessManager>

NetworkAccessFactory::~NetworkAccessFactory() = default;

QNetworkAccessManager* NetworkAccessFactory::create() const {
    auto* manager = new QNetworkAccessManager;
    // Nothing is ever answered from a local cache: Qt keeps none unless given one.
    manager->setCache(nullptr);
    manager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    return manager;
}

const NetworkAccessFactory& NetworkAccessFactory::standard() {
    static const NetworkAccessFactory factory;
    return factory;
}
