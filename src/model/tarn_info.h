#pragma once
// One mapping: a virtual port COM<n> joined to one network endpoint, with everything it owns.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "bridge/tvs_port_ax.h"
#include "control/mek_ncp.h"
#include "model/byte_ring.h"
#include "model/net_struct.h"
#include "model/port_monitor.h"
#include "model/tarn_desc.h"
#include "model/tarn_thread.h"
#include "model/txrx_buffer.h"

using ThreadSetList = std::deque<std::unique_ptr<TARNThread>>;

inline constexpr int kRowCells = 17;
inline constexpr int kRowCellSize = 50;

struct TARNINFO {
    // Creates the port object, control endpoint, network record, buffers, both rings over
    // their storage, and a default desc; active 1.
    TARNINFO();
    // Releases whatever destroy() has not released yet, in destroy's order. The caller must
    // have ended the mapping's threads first (destroy does that).
    ~TARNINFO();
    TARNINFO(const TARNINFO&) = delete;
    TARNINFO& operator=(const TARNINFO&) = delete;

    // Creates the virtual port "COM<n>", or attaches to a live one of that name.
    bool createPort(int comNumber);
    // Builds this mapping's thread set (one lock, and the nine threads that `maker` makes),
    // appends it to the list and resumes the threads.
    void startThreads(ThreadSetList& threadSets, const ThreadMaker& maker);
    // Asks the nine threads at `position` to end, without waiting.
    static void stopThreads(ThreadSetList& threadSets, std::size_t position);
    // Ends and releases the thread set at position `index` (removing it from the list), then
    // releases buffers, net, rings, control, deletes the virtual port, releases desc; active 0.
    void destroy(ThreadSetList& threadSets);

    // Virtual port state.
    bool isOpen() const;
    std::uint32_t inQueue() const;
    std::int32_t baudRate() const;
    std::int32_t dataBits() const;
    std::int32_t parity() const;
    std::int32_t stopBits() const;
    std::int32_t controlHandShake() const;
    std::int32_t flowReplace() const;
    // Strict baud emulation on, then the emulated rate.
    void setBaudRate(std::int32_t baud);
    bool rtsState() const;
    bool dtrState() const;
    void snapshotModemLines();
    bool modemLinesChanged() const;
    // The application's close hangs up (HUPCL): the device is to see RTS and DTR drop.
    bool hangUpOnClose() const;
    void pushRts();
    void pushDtr();
    bool applyRing();
    bool applyDcd();
    bool applyDsr();
    bool applyCts();

    // Network state.
    bool isTcp() const { return net->isTcp.load() != 0; }
    bool isServer() const { return net->isServer.load() != 0; }
    void setTcp(bool tcp) { net->isTcp.store(tcp ? 1 : 0); }
    void setServer(bool server) { net->isServer.store(server ? 1 : 0); }
    bool isConnected() const;
    // A TCP client that speaks Telnet COM port control to its device server.
    bool isRfc2217() const { return ::isRfc2217(*desc); }
    std::uint16_t localPort() const;
    std::uint16_t remotePort() const;
    // remoteAddr as dotted text; `buffer` needs at least 16 bytes.
    char* peerText(char* buffer) const;
    std::string peerText() const;

    void setDesc(std::int32_t comNum, std::int32_t mode, const char* ipText, std::uint16_t localPortValue,
                 std::uint16_t remotePortValue);
    // Copies desc's ipAddress (always NUL-terminated, cut to `size` - 1).
    void descIpText(char* buffer, std::size_t size) const;
    void setControlTarget(const char* ipText, std::uint16_t port);
    void setControlPassword(const char* password);

    std::int32_t getIndex() const { return index; }
    void setIndex(std::int32_t value) { index = value; }
    std::int32_t getComNumber() const { return comNumber; }

    // Rebuilds rowText for the mapping list (cells 0-14); cell 14, the control port column,
    // reads "RFC 2217" while an RFC 2217 mapping's device server agrees to the option.
    void refreshRowText();

    char rowText[kRowCells][kRowCellSize] = {};
    std::unique_ptr<TVSPortAx> port;
    std::unique_ptr<TXRXBUFFER> buffers;
    std::unique_ptr<ByteRing> netToPort;
    std::unique_ptr<ByteRing> portToNet;
    std::unique_ptr<NETSTRUCT> net;
    std::unique_ptr<mek_ncp> control;
    std::atomic<std::int32_t> active{0};
    std::atomic<std::int32_t> lastOpen{0};
    std::int32_t comNumber = 0;
    std::int32_t index = 0;
    std::int32_t lastBaud = 0;
    std::uint8_t lastRts = 0;
    std::uint8_t lastDtr = 0;
    std::unique_ptr<tarnDesc> desc;
    // The pumps' byte counters, and the port monitor's tap on their hand-overs.
    monitor::Counters traffic;
    monitor::Tap tap;

private:
    void releaseParts();
};

// Flow-control text of the two serial handflow words: "Xon/Xoff", "Hardware" or "None".
const char* flowControlText(std::uint32_t controlHandShake, std::uint32_t flowReplace);

// The one error of a position outside a list, with the text every caller expects.
[[noreturn]] void throwInvalidSubscript();
template <class List> auto& listAt(List& list, std::size_t position) {
    if (position >= list.size())
        throwInvalidSubscript();
    return list[position];
}
