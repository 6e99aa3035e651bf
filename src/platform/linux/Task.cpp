#include "platform/Task.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// A posix_spawn description object, destroyed with the scope that set it up.
template <typename Object, int (*init)(Object *), int (*destroy)(Object *)> class SpawnObject
{
public:
    SpawnObject() { ok = init(&object) == 0; }
    ~SpawnObject()
    {
        if (ok)
            destroy(&object);
    }
    SpawnObject(const SpawnObject &) = delete;
    SpawnObject &operator=(const SpawnObject &) = delete;

    bool ok = false;
    Object object;
};

using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init,
    ::posix_spawn_file_actions_destroy>;
using SpawnAttributes = SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// A null-terminated array pointing into `strings`, which must outlive it.
std::vector<char *> pointersInto(QByteArrayList &strings)
{
    std::vector<char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (QByteArray &string : strings)
        pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

bool describeStreams(posix_spawn_file_actions_t *actions, const QByteArray &directory,
    const std::optional<FileHandle> &output, const std::optional<FileHandle> &error)
{
    return ::posix_spawn_file_actions_addchdir_np(actions, directory.constData()) == 0
        && (!output || ::posix_spawn_file_actions_adddup2(actions, output->fd(), STDOUT_FILENO) == 0)
        && (!error || ::posix_spawn_file_actions_adddup2(actions, error->fd(), STDERR_FILENO) == 0)
        // Whatever else this process holds open, with or without close-on-exec, stays here.
        && ::posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1) == 0;
}

// Ignored signals and the signal mask survive exec. Libraries in this process ignore
// some (D-Bus ignores SIGPIPE); the child starts clean, so SIGTERM always reaches it.
bool describeSignals(posix_spawnattr_t *attributes)
{
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    return ::posix_spawnattr_setsigdefault(attributes, &all) == 0
        && ::posix_spawnattr_setsigmask(attributes, &none) == 0
        && ::posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
}

} // namespace

bool Task::launch()
{
    if (pid != 0)
        return false;
    QByteArrayList argumentBytes { QFile::encodeName(QDir::current().absoluteFilePath(executable)) };
    for (const QString &argument : std::as_const(arguments))
        argumentBytes << QFile::encodeName(argument);
    QByteArrayList environmentBytes = environment;
    const std::vector<char *> argv = pointersInto(argumentBytes);
    const std::vector<char *> envp = pointersInto(environmentBytes);

    SpawnFileActions fileActions;
    SpawnAttributes spawnAttributes;
    const bool described = fileActions.ok && spawnAttributes.ok
        && describeStreams(
            &fileActions.object, QFile::encodeName(currentDirectory), standardOutput, standardError)
        && describeSignals(&spawnAttributes.object);
    pid_t child = 0;
    // The description calls fail only for resources or a directory path they cannot take.
    const int spawnError = described ? ::posix_spawn(&child, argv.front(), &fileActions.object,
                               &spawnAttributes.object, argv.data(), envp.data())
                                     : EINVAL;
    // The child holds its own copies; ours would only keep the logs open.
    standardOutput.reset();
    standardError.reset();
    if (spawnError != 0) {
        failure = QString::fromLocal8Bit(std::strerror(spawnError));
        return false;
    }
    pid = child;
    return true;
}

bool Task::isRunning()
{
    if (pid == 0 || exited)
        return false;
    int status = 0;
    pid_t reaped = 0;
    do
        reaped = ::waitpid(pid, &status, WNOHANG);
    while (reaped < 0 && errno == EINTR);
    if (reaped == 0)
        return true;
    // Reaped now, or already reaped elsewhere (ECHILD): either way it has ended, and its
    // process id may be reused, so it is never signalled again.
    exited = true;
    return false;
}

void Task::terminate()
{
    if (pid != 0 && !exited)
        ::kill(pid, SIGTERM);
}

} // namespace platform
