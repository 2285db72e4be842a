#pragma once
// The program's one background thread: it looks at its command once a second and runs the
// start-up load, a device search or the opening of a web page.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "bridge/thread_interface.h"

class Worker final : public ThreadInterface2 {
public:
    enum Command : std::int32_t {
        kIdle = 0,
        kSearch = 1,
        kOpenWebPage = 2,
        kStartUp = 3,
    };

    // What each command does; a missing hook is skipped. All run on the worker thread.
    struct Hooks {
        std::function<void()> loadMappings; // the start-up load; returns once it is done
        std::function<void()> startUpDone;  // after the load: hide the window, show the tray
        std::function<void()> search;       // one device search
        std::function<void()> searchDone;
        // After the start-up search, when searchDone is not set.
        std::function<void()> startUpSearchDone;
        bool searchAtStartUp = true;
        std::function<void(const std::string&)> openWebPage;
        std::function<void()> webPageDone; // close the "processing" box
    };

    explicit Worker(Hooks hooks, std::chrono::milliseconds period = std::chrono::milliseconds(1000));
    ~Worker() override;

    // Any thread. The command starts at the worker's next look, within one period.
    void setCommand(std::int32_t command) { m_command.store(command); }
    std::int32_t command() const { return m_command.load(); }
    // Copies the address (at most 99 characters are kept) and sets kOpenWebPage.
    void openWebPage(const std::string& address);
    bool startUpDone() const { return m_startUpDone.load(); }
    // How many commands have been carried out; lets a caller wait for one to finish.
    std::uint64_t completedCommands() const { return m_completed.load(); }

protected:
    void execute() override;

private:
    void runCommand(std::int32_t command);

    const Hooks m_hooks;
    const std::chrono::milliseconds m_period;
    std::atomic<std::int32_t> m_command{kIdle};
    std::atomic<bool> m_startUpDone{false};
    std::atomic<std::uint64_t> m_completed{0};
    std::mutex m_urlMutex;
    char m_urlBuffer[100] = {};
};
