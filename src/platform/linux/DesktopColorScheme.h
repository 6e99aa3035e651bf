#pragma once

#include "platform/linux/TitleIcon.h"

#include <QObject>
#include <QVariant>

class QDBusVariant;

namespace platform {

// The desktop's colour scheme as the XDG desktop portal reports it
// (org.freedesktop.appearance color-scheme), followed as it changes. Without a portal
// it stays at no preference. Nothing here blocks: the first answer arrives later.
class DesktopColorScheme final : public QObject
{
    Q_OBJECT
public:
    explicit DesktopColorScheme(QObject *parent = nullptr);

    ColorScheme current() const { return scheme; }

signals:
    void changed(platform::ColorScheme scheme);

private slots:
    void settingChanged(const QString &group, const QString &key, const QDBusVariant &value);

private:
    void update(ColorScheme newScheme);

    ColorScheme scheme = ColorScheme::noPreference;
};

// The portal's value, however deeply it is wrapped in variants: 1 prefers dark,
// 2 prefers light, anything else (unknown values too) is no preference.
ColorScheme colorSchemeFromSetting(const QVariant &value);

} // namespace platform
