#pragma once
// A pseudo-terminal pair held from the master side; the slave is left for an application.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

// The line settings an application left on the slave, as far as a pseudo-terminal keeps them.
// The driver forces 8 data bits and no parity on every change, so those are not reported.
struct PtyLineSettings {
    std::uint32_t speed = 0; // bits per second, any value the application chose
    bool twoStopBits = false;
    bool rtsCtsFlow = false;
    bool xonXoffFlow = false;  // IXON or IXOFF
    bool hangUpOnClose = true; // HUPCL: the last close drops the modem lines
};

class Pty {
public:
    // A new pair with a raw 9600 bit/s slave that hangs up on close as a serial port does, so
    // an application that sets nothing sees no echo or line editing. Empty when the system has no pseudo-terminal left.
    static std::optional<Pty> open();

    ~Pty();
    Pty(Pty&& other) noexcept;
    Pty& operator=(Pty&& other) noexcept;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int masterFd() const { return m_master; }
    const std::string& slavePath() const { return m_slavePath; }

    // Whether any process holds the slave open: the master reports hang-up while none does.
    bool slaveOpen() const;
    // Bytes the application wrote and the master has not read yet.
    std::uint32_t pendingInput() const;
    std::optional<PtyLineSettings> lineSettings() const;

    // Never block. Return the bytes moved (0 when nothing can move now, including while no
    // slave is open, where the master reports EIO), or -1 on any other error.
    ssize_t read(void* buffer, std::size_t count);
    ssize_t write(const void* buffer, std::size_t count);

    // Drops what is queued for the slave's reader, so the next application to open the
    // slave does not receive bytes meant for the last one. It opens the slave for a moment:
    // the caller keeps slaveOpen() of other threads from running meanwhile.
    void discardOutput();

private:
    Pty(int master, std::string slavePath);
    void close();

    int m_master = -1;
    std::string m_slavePath;
};
