#pragma once
// tarnctl's end of the running program's control channel: one connection, requests out,
// answer lines in, each with a deadline.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace core {

class ControlClient {
public:
    enum class Reach {
        Connected,
        NoProgram, // nothing serves the socket: no file there, or nobody listening
        Failed,    // something is there but cannot be used (see error)
    };

    ControlClient() = default;
    ~ControlClient();
    ControlClient(ControlClient&& other) noexcept;
    ControlClient& operator=(ControlClient&& other) noexcept;
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    Reach connect(const std::string& path, std::string& error);
    bool send(const std::vector<std::string>& fields);
    // The next answer line's fields. Nothing when the connection ended, a line could not be
    // read, or `limit` passed (a negative limit waits for ever).
    std::optional<std::vector<std::string>> readLine(std::chrono::milliseconds limit);

private:
    int m_fd = -1;
    std::string m_buffer;
};

} // namespace core
