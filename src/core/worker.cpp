#include "core/worker.h"

#include <cstdio>
#include <thread>

Worker::Worker(Hooks hooks, std::chrono::milliseconds period)
    : ThreadInterface2(false), m_hooks(std::move(hooks)), m_period(period) {}

Worker::~Worker() {
    release();
}

void Worker::openWebPage(const std::string& address) {
    {
        std::lock_guard guard(m_urlMutex);
        std::snprintf(m_urlBuffer, sizeof m_urlBuffer, "%s", address.c_str());
    }
    setCommand(kOpenWebPage);
}

void Worker::execute() {
    while (!terminated()) {
        waitBetweenPasses(m_period);
        if (terminated())
            break;
        dispatchOneMessage();
        const std::int32_t command = m_command.load();
        if (command == kIdle)
            continue;
        runCommand(command);
    }
}

void Worker::runCommand(std::int32_t command) {
    switch (command) {
    case kStartUp:
        // Runs once per program; a repeated start-up command stays set and is ignored.
        if (m_startUpDone.load())
            return;
        if (m_hooks.loadMappings)
            m_hooks.loadMappings();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (m_hooks.startUpDone)
            m_hooks.startUpDone();
        m_startUpDone.store(true);
        if (!terminated() && m_hooks.searchAtStartUp && m_hooks.search) {
            m_hooks.search();
            if (m_hooks.searchDone)
                m_hooks.searchDone();
            else if (m_hooks.startUpSearchDone)
                m_hooks.startUpSearchDone();
        }
        break;
    case kSearch:
        if (m_hooks.search)
            m_hooks.search();
        if (m_hooks.searchDone)
            m_hooks.searchDone();
        break;
    case kOpenWebPage: {
        std::string address;
        {
            std::lock_guard guard(m_urlMutex);
            address = m_urlBuffer;
        }
        if (m_hooks.openWebPage)
            m_hooks.openWebPage(address);
        if (m_hooks.webPageDone)
            m_hooks.webPageDone();
        break;
    }
    default:
        break;
    }
    // Only clear what was carried out: a command set meanwhile waits for the next look.
    std::int32_t expected = command;
    m_command.compare_exchange_strong(expected, kIdle);
    m_completed.fetch_add(1);
}
