#include "Run.h"

#include "AgentDescription.h"
#include "Diagnostics.h"
#include "LoginStartInstaller.h"
#include "UnitFile.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace login {

namespace {

class Descriptor
{
public:
    explicit Descriptor(int fd = -1)
        : fd(fd)
    { }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }

    // Makes this descriptor the stream `target` that the program will inherit.
    void becomeStream(int target) const
    {
        if (fd < 0)
            return;
        if (fd == target)
            ::fcntl(fd, F_SETFD, 0);
        else
            ::dup2(fd, target);
    }

    const int fd;
};

QString describeErrno(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

// Appends to the log, creating it for the owner only. A log that cannot be opened is no
// reason to keep the program from starting: its stream then stays with the service
// manager's journal.
int openLog(const std::optional<QString> &path)
{
    if (!path)
        return -1;
    // Non-blocking so that a FIFO without a reader fails instead of hanging the login.
    const int fd = ::open(QFile::encodeName(*path).constData(),
        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) {
        complain(QStringLiteral("Could not open the log “%1”: %2.").arg(*path, describeErrno(errno)));
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool isAbsent(const QString &path)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

} // namespace

int runAgent(const QString &propertyListPath)
{
    // "Start at login" is off. The autostart entry comes here at every login all the same.
    if (isAbsent(propertyListPath))
        return 0;
    QString error;
    const std::optional<AgentDescription> agent = readAgentDescription(propertyListPath, &error);
    if (!agent) {
        complain(error);
        return unusableAgentStatus;
    }

    // The user manager gives every process it starts an INVOCATION_ID; without one, the
    // desktop ran the autostart entry, and on a desktop that also starts
    // graphical-session.target the unit starts the agent already.
    if (qEnvironmentVariableIsEmpty("INVOCATION_ID")) {
        LoginStartInstaller installer(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
        if (installer.unitStartsAgentInThisSession(propertyListPath)) {
            complain(
                QStringLiteral("The systemd user unit starts “%1” in this session, so the autostart entry "
                               "does not.")
                    .arg(agent->label));
            return 0;
        }
    }

    // Both are opened before either is redirected, so that a failure is still told on
    // the original standard error.
    const Descriptor output(openLog(agent->standardOutPath));
    const Descriptor errors(openLog(agent->standardErrorPath));
    output.becomeStream(STDOUT_FILENO);
    errors.becomeStream(STDERR_FILENO);

    std::vector<QByteArray> encoded;
    for (const QString &argument : agent->programArguments)
        encoded.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &argument : encoded)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    ::execvp(argv.front(), argv.data());
    const int reason = errno;
    complain(QStringLiteral("Could not run “%1”: %2. If Orlinde has moved, open it once from its new place.")
                 .arg(agent->programArguments.front(), describeErrno(reason)));
    // Not the shell's 127 or 126: starting again cannot bring the program back, and this
    // status keeps the unit from trying every 15 seconds.
    return unusableAgentStatus;
}

} // namespace login
