#pragma once
// A virtual serial port COM<n>: a pseudo-terminal whose slave an application opens through
// the link <port dir>/COM<n>. Offers the operations and numbered properties the bridge uses.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class TVSPortAx {
public:
    // Property indexes callers read.
    enum Property : int {
        kPortOpen = 7,         // bool: an application holds the port open
        kInQueue = 8,          // unsigned: bytes written by the application, not yet read
        kLocked = 22,          // bool: always false here
        kParity = 27,          // 0 none, 1 odd, 2 even, 3 mark, 4 space
        kStopBits = 28,        // 0 one, 1 one and a half, 2 two
        kDatabits = 29,        //
        kBaudrate = 30,        // speed the application set; writing it sets the emulated rate only
        kControlHandShake = 31, // handflow ControlHandShake word
        kFlowReplace = 32,     // handflow FlowReplace word
        kRts = 44,             // bool: raised while open
        kDtr = 45,             // bool: raised while open
    };

    TVSPortAx();
    ~TVSPortAx();
    TVSPortAx(const TVSPortAx&) = delete;
    TVSPortAx& operator=(const TVSPortAx&) = delete;

    // name is "COM<n>". CreatePort fails when the name is taken by anything but a stale
    // link of ours; Attach binds to a live port of ours of that name.
    bool CreatePort(const std::wstring& name);
    bool Attach(const std::wstring& name);
    void SetWiring(int a, int b, int c, int d);
    // Removes the link and closes the pseudo-terminal.
    void Delete();

    // Moves up to *count bytes the application wrote; *count becomes the number moved.
    bool Read(void* buffer, std::uint32_t* count);
    // Delivers bytes to the application's input; returns how many the port took.
    std::uint32_t Write(const void* buffer, std::uint32_t count);

    bool SetDSR(bool on);
    bool SetCTS(bool on);
    bool SetDCD(bool on);
    bool SetRING(bool on);
    void SetStrictBaudrate(bool on);

    std::int64_t getProperty(int index) const;
    void setProperty(int index, std::int64_t value);

    // Typed forms of the properties above.
    bool isOpen() const;
    std::uint32_t inQueue() const;
    int baudRate() const;
    void setBaudRate(int baud); // emulated rate only
    int dataBits() const;
    int parity() const;
    int stopBits() const;
    std::uint32_t controlHandShake() const;
    std::uint32_t flowReplace() const;
    bool rts() const;
    bool dtr() const;
    bool cts() const;
    bool dsr() const;
    bool dcd() const;
    bool ring() const;

    // The link path (empty while no port exists) and the master descriptor, for waiting on.
    std::string linkPath() const;
    int masterFd() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The port directory: $XDG_RUNTIME_DIR/tarn, else /tmp/tarn-<uid> (mode 0700).
std::string portDirectory();
