#include "platform/Task.h"

namespace platform {

bool Task::launch(QString *)
{
    return false;
}

bool Task::isRunning()
{
    return false;
}

void Task::terminate() { }

} // namespace platform
