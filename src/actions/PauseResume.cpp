#include "main/Orlinde.h"

#include <QAction>

void Orlinde::togglePause()
{
    paused = !paused;
    pauseItem->setText(paused ? QStringLiteral("Resume reporting") : QStringLiteral("Pause reporting"));
    if (paused) {
        stop();
    } else {
        // Resuming is the user asking for the collector now, whatever the back-off says.
        nextStart = distantPast;
        start();
    }
    refresh();
}
