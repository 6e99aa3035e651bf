#include "Diagnostics.h"
#include "Install.h"
#include "Run.h"

#include <QCoreApplication>
#include <QFile>
#include <cstring>

// orlinde-login install PLIST: sets up the user's systemd manager to start the agent
//                              that PLIST describes, at login, while PLIST exists.
// orlinde-login run PLIST:     what that unit runs: becomes the agent PLIST describes.
int main(int argc, char **argv)
{
    const bool install = argc == 3 && std::strcmp(argv[1], "install") == 0;
    const bool run = argc == 3 && std::strcmp(argv[1], "run") == 0;
    if (!install && !run) {
        login::complain(QStringLiteral("usage: orlinde-login install PLIST | orlinde-login run PLIST"));
        return 2;
    }
    const QString propertyListPath = QFile::decodeName(argv[2]);
    if (run)
        return login::runAgent(propertyListPath);

    // A unit file is UTF-8 text, so a path in another encoding could not be named in it.
    if (QFile::encodeName(propertyListPath) != QByteArray(argv[2])) {
        login::complain(QStringLiteral("The property list path is not valid UTF-8."));
        return 1;
    }
    QCoreApplication application(argc, argv);
    return login::installAgent(propertyListPath);
}
