#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

// The least a tray app with a menu and a 3 s refresh costs in Qt: what the agent's idle
// figures are measured against. Each tick sets the status line to the text it already
// has, as the agent's refresh does when nothing changed.
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);

    QMenu menu;
    QAction *status = menu.addAction(QStringLiteral("Connected to dashboard"));
    status->setEnabled(false);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Pause reporting"));
    menu.addAction(QStringLiteral("Quit"), &app, &QApplication::quit);

    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkCyan);
    QSystemTrayIcon icon { QIcon(pixmap) };
    icon.setToolTip(QStringLiteral("Baseline"));
    icon.setContextMenu(&menu);
    icon.show();

    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, status, [status] { status->setText(status->text()); });
    timer.start(3000);
    return app.exec();
}
