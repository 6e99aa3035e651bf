#include "main/Orlinde.h"

QUrl Orlinde::logURL(const QString &name) const
{
    QString path = settings->root;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return QUrl::fromLocalFile(path + QStringLiteral(".data/") + name);
}

void Orlinde::start() { }

void Orlinde::stop() { }

void Orlinde::restartCollector() { }
