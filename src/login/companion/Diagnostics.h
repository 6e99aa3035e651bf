#pragma once

#include <QString>

namespace login {

// A line on standard output.
void say(const QString &message);
// A line on standard error, naming this program.
void complain(const QString &message);

} // namespace login
