#pragma once
// The control channel's commands, run on the program's main thread against the core: the
// mapping rows, add and remove through the core's one checked path, the device list, a new
// search, and the message-log rows (optionally following new ones). Owned by ProgramCore.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/command_socket.h"

namespace core {

class ProgramCore;

class ControlService {
public:
    struct Options {
        // The program has a device side (or a search job of its own) to search with.
        bool canSearch = false;
        // Nothing else announces a search's end to the front end: this service does, so the
        // device page is refreshed and the count is logged.
        bool announceSearches = false;
        ControlChannel::Limits limits;
    };

    // Serves the channel at `path`; null with `error` set when it cannot be opened.
    static Result<std::unique_ptr<ControlService>, std::string> open(ProgramCore& core, const std::string& path,
                                                                     const Options& options);
    ControlService(const ControlService&) = delete;
    ControlService& operator=(const ControlService&) = delete;

private:
    using ClientId = ControlChannel::ClientId;

    ControlService(ProgramCore& core, const Options& options) : m_core(core), m_options(options) {}
    void execute(ClientId client, const std::vector<std::string>& request);
    void list(ClientId client, bool stats);
    // Streams COM<n>'s monitor records until the client goes or the mapping is removed.
    void watch(ClientId client, const std::string& comText);
    void add(ClientId client, const std::vector<std::string>& request);
    void remove(ClientId client, const std::vector<std::string>& request);
    void devices(ClientId client);
    void search(ClientId client);
    void awaitSearch(ClientId client, std::uint64_t before);
    void log(ClientId client, bool follow);
    std::string deviceAnswer() const;

    ProgramCore& m_core;
    const Options m_options;
    std::unique_ptr<ControlChannel> m_channel;
};

} // namespace core
