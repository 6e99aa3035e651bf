#include "Diagnostics.h"

#include <cstdio>

namespace login {

void say(const QString &message)
{
    std::fprintf(stdout, "%s\n", message.toUtf8().constData());
    std::fflush(stdout);
}

void complain(const QString &message)
{
    std::fprintf(stderr, "orlinde-login: %s\n", message.toUtf8().constData());
}

} // namespace login
