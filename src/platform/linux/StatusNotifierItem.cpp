#include "platform/linux/StatusNotifierItem.h"

#include "platform/linux/DBusMenuExporter.h"

#include <QDBusArgument>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QGuiApplication>
#include <QMenu>
#include <QPointer>
#include <QtEndian>

namespace platform::sni {

// An image as the protocol carries it: width, height and ARGB32 in network byte order.
struct Image
{
    int width = 0;
    int height = 0;
    QByteArray pixels;
};
using ImageList = QList<Image>;

// Icon name, images, title and text.
struct ToolTip
{
    QString iconName;
    ImageList images;
    QString title;
    QString text;
};

QDBusArgument &operator<<(QDBusArgument &argument, const Image &image)
{
    argument.beginStructure();
    argument << image.width << image.height << image.pixels;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Image &image)
{
    argument.beginStructure();
    argument >> image.width >> image.height >> image.pixels;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const ToolTip &toolTip)
{
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.images << toolTip.title << toolTip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ToolTip &toolTip)
{
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.images >> toolTip.title >> toolTip.text;
    argument.endStructure();
    return argument;
}

Image fromImage(const QImage &image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    Image converted { argb.width(), argb.height(),
        QByteArray(qsizetype(argb.width()) * argb.height() * 4, 0) };
    auto *out = reinterpret_cast<uchar *>(converted.pixels.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x, out += 4)
            qToBigEndian<quint32>(line[x], out);
    }
    return converted;
}

} // namespace platform::sni

Q_DECLARE_METATYPE(platform::sni::Image)
Q_DECLARE_METATYPE(platform::sni::ToolTip)

namespace platform {

namespace {
const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString menuPath = QStringLiteral("/MenuBar");
const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
constexpr int registerTimeoutMs = 5000;
} // namespace

using namespace sni;

// The exported object: the protocol's methods, signals and properties, nothing else.
class StatusNotifierItemObject final : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ applicationName)
    Q_PROPERTY(QString Title READ applicationName)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ none)
    Q_PROPERTY(QString IconName READ none)
    Q_PROPERTY(ImageList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(ImageList OverlayIconPixmap READ noImages)
    Q_PROPERTY(QString AttentionIconName READ none)
    Q_PROPERTY(ImageList AttentionIconPixmap READ iconPixmap)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(ToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    explicit StatusNotifierItemObject(QObject *parent)
        : QObject(parent)
    { }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString applicationName() const { return QCoreApplication::applicationName(); }
    QString status() const
    {
        return needsAttention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active");
    }
    int windowId() const { return 0; }
    QString none() const { return {}; }
    ImageList iconPixmap() const { return images; }
    ImageList noImages() const { return {}; }
    ToolTip toolTip() const { return { {}, {}, toolTipTitle, toolTipText }; }
    bool itemIsMenu() const { return true; }
    QDBusObjectPath menu() const { return QDBusObjectPath(menuPath); }

    ImageList images;
    QString toolTipTitle;
    QString toolTipText;
    bool needsAttention = false;
    // Only on X11 can a client open a popup at a position on the screen.
    const bool placesMenus = QGuiApplication::platformName() == QLatin1String("xcb");
    QPointer<QMenu> shownMenu;

public slots:
    // The item is its menu, opened where the host saw the click. A host that cannot
    // have that learns so, and hosts that handle it (Plasma) open the exported menu.
    void Activate(int x, int y) { openMenu(x, y); }
    void ContextMenu(int x, int y) { openMenu(x, y); }
    void SecondaryActivate(int, int) { }
    void Scroll(int, const QString &) { }

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString &status);
    void menuRequested(const QPoint &screenPosition);

private:
    void openMenu(int x, int y)
    {
        if (placesMenus && shownMenu)
            emit menuRequested(QPoint(x, y));
        else
            sendErrorReply(
                QDBusError::UnknownMethod, QStringLiteral("This item is a menu; open its menu instead."));
    }
};

StatusNotifierItem::StatusNotifierItem(QObject *parent)
    : QObject(parent)
    , connection(QDBusConnection::sessionBus())
    , object(new StatusNotifierItemObject(this))
    , menu(new DBusMenuExporter(connection, menuPath, this))
{
    qDBusRegisterMetaType<Image>();
    qDBusRegisterMetaType<ImageList>();
    qDBusRegisterMetaType<ToolTip>();
    exported = menu->isExported()
        && connection.registerObject(itemPath, object,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals
                | QDBusConnection::ExportAllProperties);
    connect(object, &StatusNotifierItemObject::menuRequested, this, &StatusNotifierItem::menuRequested);
}

StatusNotifierItem::~StatusNotifierItem()
{
    if (exported)
        connection.unregisterObject(itemPath);
}

bool StatusNotifierItem::isExported() const
{
    return exported;
}

void StatusNotifierItem::setIcon(const QList<QImage> &icon)
{
    object->images.clear();
    for (const QImage &image : icon)
        object->images.append(fromImage(image));
    emit object->NewIcon();
    // The attention icon is the icon itself: hosts that show it instead keep the state.
    if (object->needsAttention)
        emit object->NewAttentionIcon();
}

void StatusNotifierItem::setToolTip(const QString &title, const QString &text)
{
    if (title == object->toolTipTitle && text == object->toolTipText)
        return;
    object->toolTipTitle = title;
    object->toolTipText = text;
    emit object->NewToolTip();
}

void StatusNotifierItem::setNeedsAttention(bool needsAttention)
{
    if (needsAttention == object->needsAttention)
        return;
    object->needsAttention = needsAttention;
    emit object->NewStatus(object->status());
}

void StatusNotifierItem::setMenu(QMenu *newMenu)
{
    object->shownMenu = newMenu;
    menu->setMenu(newMenu);
}

void StatusNotifierItem::registerWithWatcher()
{
    if (!exported)
        return;
    QDBusMessage call
        = QDBusMessage::createMethodCall(watcherService, QStringLiteral("/StatusNotifierWatcher"),
            watcherService, QStringLiteral("RegisterStatusNotifierItem"));
    call << connection.baseService();
    call.setAutoStartService(false);
    auto *pending = new QDBusPendingCallWatcher(connection.asyncCall(call, registerTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *answered) {
        answered->deleteLater();
        emit registrationAnswered(answered->isError() ? QString() : answered->reply().service());
    });
}

} // namespace platform

#include "StatusNotifierItem.moc"
