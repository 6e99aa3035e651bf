#pragma once

#include <QJsonObject>

class AppUnderTest;

// settings.json as the installer writes it, for an installation in the app's scratch
// root. The paths the app writes lie under that root, so nothing outside the test's
// directory is written; the hub address refuses connections.
// Tests edit the object (add "product", drop a key) before writing it.
QJsonObject typicalSettings(const AppUnderTest &app);

// Puts a collector into the app's root that stays up, reports nothing and leaves with
// its parent, so that the status line keeps its launch text. Without one, node fails
// at once and the status line changes with the app's next refresh.
bool installIdleCollector(const AppUnderTest &app);
// Puts a collector into the app's root that stays up and notes, in files of that root,
// its launch ("launches") and every termination request ("signals") by process id.
bool installNotingCollector(const AppUnderTest &app);
