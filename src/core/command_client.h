#pragma once
// tarnctl's end of the running program's control channel: one connection, requests out,
// answer lines in, each with a deadline.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace core {

class ControlClient {
public:
    struct Unreached {
        // Nothing serves the socket: no file there, or nobody listening. Otherwise something
        // is there but cannot be used, as `error` says.
        bool noProgram = false;
        std::string error;
    };

    ControlClient() = default;
    ~ControlClient();
    ControlClient(ControlClient&& other) noexcept;
    ControlClient& operator=(ControlClient&& other) noexcept;
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    Result<void, Unreached> connect(const std::string& path);
    bool send(const std::vector<std::string>& fields);
    // The next answer line's fields. Nothing when the connection ended, a line could not be
    // read, or `limit` passed (a negative limit waits for ever).
    std::optional<std::vector<std::string>> readLine(std::chrono::milliseconds limit);

private:
    int m_fd = -1;
    std::string m_buffer;
};

} // namespace core
