#pragma once
// The one wait of the tests: a condition polled until it holds or a deadline passes.

#include <algorithm>
#include <chrono>
#include <thread>

namespace testsupport {

// Polls `condition` until it holds or `limit` passes; returns its last value. The step grows
// from 1 ms to 10 ms, so a quick condition is seen at once and a costly one (a program run)
// is not run a thousand times a second. The limit only bounds a failing test.
template <class Condition>
bool waitUntil(Condition&& condition, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::chrono::milliseconds step{1};
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(step);
        step = std::min(step * 2, std::chrono::milliseconds(10));
    }
    return true;
}

// Waits until `count` (of passes, say) stays the same over three looks 20 ms apart: what it
// counts has gone quiet. The 20 ms are the window each look covers, not a wait for a change.
template <class Count> bool waitUntilQuiet(Count&& count, std::chrono::milliseconds limit) {
    auto last = count();
    int quiet = 0;
    return waitUntil(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const auto now = count();
            quiet = now == last ? quiet + 1 : 0;
            last = now;
            return quiet >= 3;
        },
        limit);
}

} // namespace testsupport
