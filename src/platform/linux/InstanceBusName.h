#pragma once

#include <QString>

namespace platform {

// The session-bus name that the running instance of `identifier` holds:
// "<identifier>.instance", made a valid bus name.
QString instanceBusName(const QString &identifier);

} // namespace platform
