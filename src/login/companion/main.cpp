#include "Diagnostics.h"
#include "Install.h"
#include "Run.h"

#include <QCoreApplication>
#include <QFile>
#include <cstring>

// orlinde-login install PLIST:   sets up the user's systemd manager and the desktop's
//                                autostart to start the agent that PLIST describes, at
//                                login, while PLIST exists.
// orlinde-login uninstall PLIST: undoes install.
// orlinde-login run PLIST:       what those run: becomes the agent PLIST describes.
int main(int argc, char **argv)
{
    const char *command = argc == 3 ? argv[1] : "";
    const bool install = std::strcmp(command, "install") == 0;
    const bool uninstall = std::strcmp(command, "uninstall") == 0;
    const bool run = std::strcmp(command, "run") == 0;
    if (!install && !uninstall && !run) {
        login::complain(QStringLiteral(
            "usage: orlinde-login install PLIST | orlinde-login uninstall PLIST | orlinde-login run PLIST"));
        return 2;
    }
    const QString propertyListPath = QFile::decodeName(argv[2]);
    // The user manager is reached over D-Bus, which needs an application object.
    QCoreApplication application(argc, argv);
    if (run)
        return login::runAgent(propertyListPath);

    // Units and autostart entries are UTF-8 text, so a path in another encoding could not
    // be named in them.
    if (QFile::encodeName(propertyListPath) != QByteArray(argv[2])) {
        login::complain(QStringLiteral("The property list path is not valid UTF-8."));
        return 1;
    }
    return install ? login::installAgent(propertyListPath) : login::uninstallAgent(propertyListPath);
}
