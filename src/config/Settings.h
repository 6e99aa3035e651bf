#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

// Where everything of the installation lies, decoded once at launch from settings.json.
struct Settings
{
    QString node;
    QString root;
    QString hub;
    QString launchAgent;
    QString appExecutable;
    std::optional<bool> product;
    std::optional<QString> appId;

    bool isProduct() const { return product.value_or(false); }

    // The file URL of `name` in the data directory, <root>/.data/; touches nothing.
    QUrl logURL(const QString &name) const;

    // Strict: exact member names, no coercion, null counts as absent for the optional
    // members, other members ignored, and no partial result.
    static std::optional<Settings> decode(const QByteArray &json);
};
