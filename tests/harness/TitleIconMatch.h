#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

// Tells which title an exported tray icon shows, by comparing it with the app's own
// renders of each candidate. Qt scales the icon on export, so the comparison is loose:
// the nearest render wins.
struct TitleMatch
{
    QString title; // the nearest candidate
    QString distances; // every candidate's distance, for failure messages
};

TitleMatch nearestTitle(const QImage &icon, const QStringList &candidates);
