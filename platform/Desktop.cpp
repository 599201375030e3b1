#include "platform/Desktop.h"

Desktop::~Desktop() = default;
