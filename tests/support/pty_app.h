#pragma once
// An application's end of a virtual COM port: opens the link as a serial program does
// (open O_RDWR|O_NOCTTY, raw line settings with a speed) and moves bytes with deadlines.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/wait.h"

namespace testsupport {

// The line settings an application asks for.
struct PtyLine {
    std::uint32_t speed = 9600; // one of the standard rates, 50 .. 4000000
    bool twoStopBits = false;
    bool rtsCts = false;
    bool xonXoff = false; // IXON and IXOFF
};

class PtyApp {
public:
    using Line = PtyLine;

    // Opens path (for example a port's link) and sets `line` on it, raw otherwise.
    explicit PtyApp(const std::string& path, const Line& line = Line{});
    ~PtyApp();
    PtyApp(const PtyApp&) = delete;
    PtyApp& operator=(const PtyApp&) = delete;

    bool ok() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // errno text of the failed open or set-up, empty while ok.
    const std::string& error() const { return m_error; }

    // Raw mode plus the line's speed, stop bits and flow control. False if rejected.
    bool configure(const Line& line);
    void close();

    // Single non-blocking moves: the byte count, 0 when none can move now.
    std::size_t writeSome(const void* data, std::size_t size);
    std::size_t readSome(void* buffer, std::size_t size);
    // Whole moves that give up at the deadline; return what moved.
    std::size_t writeAll(const void* data, std::size_t size, std::chrono::milliseconds timeout);
    std::vector<std::uint8_t> readExactly(std::size_t size, std::chrono::milliseconds timeout);

private:
    int m_fd = -1;
    std::string m_error;
};

} // namespace testsupport
