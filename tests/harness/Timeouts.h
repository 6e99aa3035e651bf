#pragma once

// Bounds for the waits in desktop tests: generous, since a loaded machine running the
// suite in parallel is slow, yet short enough that a hang fails within the test timeout.
namespace timeouts {

constexpr int launchMs = 10'000; // process start to tray item, window or bus subscription
constexpr int exitMs = 5'000; // asked to quit to exited
constexpr int stillRunningMs = 1'000; // how long an app must ignore what it should ignore

} // namespace timeouts
