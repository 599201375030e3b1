#include "platform/Updater.h"

UpdaterDelegate::~UpdaterDelegate() = default;
Updater::~Updater() = default;
