#pragma once
// A virtual serial port COM<n>: a pseudo-terminal whose slave an application opens through
// the link <port dir>/COM<n>. Offers the operations and numbered properties the bridge uses.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// The highest n of a port name "COM<n>".
inline constexpr std::int32_t kHighestComNumber = 99999;

class TVSPortAx {
public:
    // Property indexes callers read.
    enum Property : int {
        kPortOpen = 7,          // bool: an application holds the port open
        kInQueue = 8,           // unsigned: bytes written by the application, not yet read
        kLocked = 22,           // bool: always false here
        kParity = 27,           // 0 none, 1 odd, 2 even, 3 mark, 4 space; without the shim only none
        kStopBits = 28,         // 0 one, 1 one and a half, 2 two
        kDatabits = 29,         // 5 to 8; without the shim only 8
        kBaudrate = 30,         // speed the application set; writing it sets the emulated rate only
        kControlHandShake = 31, // handflow ControlHandShake word
        kFlowReplace = 32,      // handflow FlowReplace word
        kRts = 44,              // bool: raised while open, unless the application dropped it
        kDtr = 45,              // bool: raised while open, unless the application dropped it
    };

    // Handflow bits the flow-control words are built from.
    static constexpr std::uint32_t kDtrControl = 0x01;   // ControlHandShake
    static constexpr std::uint32_t kDtrHandshake = 0x02; // ControlHandShake
    static constexpr std::uint32_t kCtsHandshake = 0x08; // ControlHandShake
    static constexpr std::uint32_t kDsrHandshake = 0x10; // ControlHandShake
    static constexpr std::uint32_t kAutoTransmit = 0x01; // FlowReplace
    static constexpr std::uint32_t kAutoReceive = 0x02;  // FlowReplace
    static constexpr std::uint32_t kRtsControl = 0x40;   // FlowReplace
    static constexpr std::uint32_t kRtsHandshake = 0x80; // FlowReplace

    TVSPortAx();
    ~TVSPortAx();
    TVSPortAx(const TVSPortAx&) = delete;
    TVSPortAx& operator=(const TVSPortAx&) = delete;

    // name is "COM<n>" (n from 1 to 99999, no leading zero). CreatePort fails when the name
    // is taken by anything but a stale link of ours (which it replaces); Attach binds to a
    // live port of this process of that name. Either first lets go of a port this object holds.
    bool CreatePort(const std::wstring& name);
    bool Attach(const std::wstring& name);
    void SetWiring(int a, int b, int c, int d);
    // Lets go of the port. The port itself (link and pseudo-terminal) goes with the last
    // object that created or attached it; a link someone else put in its place stays.
    void Delete();

    // Moves up to *count bytes the application wrote; *count becomes the number moved.
    // False only when no port is bound or the pseudo-terminal failed.
    bool Read(void* buffer, std::uint32_t* count);
    // Delivers bytes to the application's input; returns how many the port took (0 while
    // the port is closed, and less than count when the application's input is full).
    std::uint32_t Write(const void* buffer, std::uint32_t count);

    // The device's input lines as the application is to see them; false when no port is bound.
    bool SetDSR(bool on);
    bool SetCTS(bool on);
    bool SetDCD(bool on);
    bool SetRING(bool on);
    // While on, Read and Write pass no more bytes than the emulated rate allows.
    void SetStrictBaudrate(bool on);
    // Nanoseconds until the emulated rate lets Read (or Write) move a worthwhile batch of
    // `wanted` bytes (BaudBudget::batchChars): 0 when it can now, or while strict emulation is off.
    std::int64_t readWaitNs(std::uint32_t wanted) const;
    std::int64_t writeWaitNs(std::uint32_t wanted) const;

    std::int64_t getProperty(int index) const;
    void setProperty(int index, std::int64_t value);

    // Typed forms of the properties above. All may be called from any thread.
    bool isOpen() const;
    std::uint32_t inQueue() const;
    int baudRate() const;
    void setBaudRate(int baud); // emulated rate only; 0 or less: follow the application's speed
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
    bool strictBaudrate() const;
    // HUPCL as the last application left it: its close is to drop RTS and DTR.
    bool hangUpOnClose() const;
    // Breaks an application with the port shim sent: the control protocol cannot carry them.
    std::uint32_t breakRequests() const;
    bool breakOn() const;
    // Flushes of the application's input and output, counted (see LineChannel).
    std::uint32_t inputFlushes() const;
    std::uint32_t outputFlushes() const;
    // The port's side channel for the shim (empty while no port is bound or it has none).
    std::string lineChannelPath() const;
    int emulatedBaudRate() const; // the rate strict mode paces to

    // The link path (empty while no port is bound) and the master descriptor (-1 then), for waiting on.
    std::string linkPath() const;
    int masterFd() const;
    // Readable after the port was opened or closed since the last drainEvents(); -1 while no
    // port is bound or the system offers no such events. One descriptor per port, shared by
    // every object bound to it: whoever drains it passes the news on.
    int eventFd() const;
    void drainEvents();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The port directory: $XDG_RUNTIME_DIR/tarn, else /tmp/tarn-<uid> (mode 0700).
std::string portDirectory();

// What the name COM<n> stands for in the port directory right now.
enum class PortNameState {
    Free,    // nothing there
    Live,    // a port of this program, in this process or another
    Stale,   // a link of ours left behind: CreatePort replaces it
    Foreign, // anything else, including a bad name: never touched
};
PortNameState portNameState(const std::string& name);

// True when `dir` is a real directory of ours (not a link) that nobody else can write into;
// a group- or world-open one of ours is closed down first. Only such a one is ever followed.
bool privatePortDirectory(const std::string& dir);

// Looks at COM<n> in the port directory `dir` and removes it if it is a stale link of ours,
// under the name's lock as CreatePort does. Returns what the name stood for (Stale: removed).
// Foreign also for a bad name and for a directory that privatePortDirectory refuses.
PortNameState clearStalePortName(const std::string& dir, const std::string& name);

// Token bucket pacing one direction of a port to an emulated line rate. Not thread-safe.
class BaudBudget {
public:
    // A burst never exceeds this time's worth of characters, nor falls below one pump chunk.
    // Long enough that a pump pass late by a few milliseconds on a busy machine loses nothing.
    static constexpr std::int64_t kBurstNs = 10'000'000;
    static constexpr std::uint32_t kMinBurstChars = 512;

    // Characters that may pass at nowNs (a steady clock) on a line of baud bits per second and
    // bitsPerChar bits per character, at most wanted. The first call starts with a full burst.
    std::uint32_t available(std::int64_t nowNs, std::uint32_t baud, std::uint32_t bitsPerChar, std::uint32_t wanted);
    // Spends what chars characters cost; call with what actually passed.
    void spend(std::uint32_t chars, std::uint32_t bitsPerChar);
    // Nanoseconds from nowNs until available() would pass `chars` (at most a burst): 0 when it
    // would now. Changes nothing.
    std::int64_t waitNs(std::int64_t nowNs, std::uint32_t baud, std::uint32_t bitsPerChar, std::uint32_t chars) const;

    // Characters worth waiting for before a busy pump's next pass: about kBatchNs of the line,
    // so a streaming port costs a few dozen passes a second instead of one per millisecond;
    // at least one, at most one pump chunk, and short of a full burst by kLateNs or a quarter
    // burst, so that a pass woken that late still finds all its credit.
    static constexpr std::int64_t kBatchNs = 40'000'000;
    static constexpr std::int64_t kLateNs = 5'000'000;
    static std::uint32_t batchChars(std::uint32_t baud, std::uint32_t bitsPerChar);

private:
    static std::int64_t capacity(std::uint32_t baud, std::uint32_t bitsPerChar);

    bool m_started = false;
    std::int64_t m_lastNs = 0;
    std::int64_t m_credit = 0; // bit-nanoseconds: bits x 1e9
};
