#pragma once

#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace platform {

// The running instance's status line, for other processes of the user to ask (on
// Linux: method StatusLine of interface com.tovrex.orlinde.Instance at path
// /com/tovrex/orlinde/Instance, on the bus name the instance lock holds).
class InstanceStatus
{
public:
    // Answers every question with `statusLine()`, on the main thread, while this lives.
    explicit InstanceStatus(std::function<QString()> statusLine);
    ~InstanceStatus();
    InstanceStatus(const InstanceStatus &) = delete;
    InstanceStatus &operator=(const InstanceStatus &) = delete;

    // The status line of the running instance named by `identifier`; nothing when none
    // runs, or when it does not answer within `patience`. Starts nothing.
    static std::optional<QString> query(const QString &identifier, std::chrono::milliseconds patience);

private:
    class Answer;
    std::unique_ptr<Answer> answer;
};

} // namespace platform
