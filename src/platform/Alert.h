#pragma once

#include <QString>

namespace platform {

// A modal alert with a message, an informative text and the single default button.
// Returns once the user has dismissed it.
void runModalAlert(const QString &messageText, const QString &informativeText);

} // namespace platform
