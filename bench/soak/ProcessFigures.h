#pragma once

#include <QString>

// What this process holds right now, as /proc shows it.
struct ProcessFigures
{
    int descriptors = 0;
    int zombieChildren = 0;
    long residentKiB = 0;
};

ProcessFigures currentFigures();
QString describe(const ProcessFigures &figures);
