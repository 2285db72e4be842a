#pragma once
// A port's side channel: the endpoint that the port shim in an application talks to, and the
// line state that only the application can set (data size, parity, RTS, DTR) or only the
// device can (input lines, which the application may wait on and count).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/result.h"

struct tarn_line_request;
struct tarn_line_reply;

class LineChannel {
public:
    // Input lines, as TIOCM_* bits.
    static constexpr std::uint32_t kInputLines = 0x020 | 0x040 | 0x080 | 0x100; // CTS, CAR, RNG, DSR

    // Listens at `path` (replacing whatever socket is there: the caller owns the name) and
    // serves it on a thread of its own; or why the socket cannot be made.
    using Opened = Result<std::unique_ptr<LineChannel>, std::string>;
    static Opened open(const std::string& path);
    ~LineChannel();
    LineChannel(const LineChannel&) = delete;
    LineChannel& operator=(const LineChannel&) = delete;

    const std::string& path() const { return m_path; }
    // Removes the socket file if it is still ours; the thread goes with the object.
    void unlinkPath();

    // Parity values as the port reports them.
    enum Parity : int { kParityNone = 0, kParityOdd = 1, kParityEven = 2, kParityMark = 3, kParitySpace = 4 };
    struct Frame {
        int dataBits = 8; // 5 to 8
        int parity = kParityNone;
    };
    // The data size and parity that the application set, if it set any.
    std::optional<Frame> frame() const;
    // RTS and DTR as the application set them; empty while it has not.
    std::optional<bool> rts() const;
    std::optional<bool> dtr() const;
    // Breaks the application asked for, which no message of the control protocol can carry.
    std::uint32_t breakRequests() const { return m_breaks.load(std::memory_order_relaxed); }
    // Flushes (tcflush) of the application's input and of its output so far.
    std::uint32_t inputFlushes() const { return m_inputFlushes.load(std::memory_order_relaxed); }
    std::uint32_t outputFlushes() const { return m_outputFlushes.load(std::memory_order_relaxed); }
    // A break the application turned on (TIOCSBRK) and has not turned off.
    bool breakOn() const { return m_breakOn.load(std::memory_order_relaxed); }

    // The device's input lines (TIOCM_* bits within kInputLines): each line that changes is
    // counted, and applications waiting on it wake.
    void setInputs(std::uint32_t lines);
    void countRx(std::uint32_t bytes) { m_rx.fetch_add(bytes, std::memory_order_relaxed); }
    void countTx(std::uint32_t bytes) { m_tx.fetch_add(bytes, std::memory_order_relaxed); }

    // The last application closed the port: its RTS and DTR no longer hold; its frame does.
    void portClosed();

private:
    struct Client {
        int fd = -1;
        bool waiting = false;
        std::uint32_t mask = 0;
        std::uint32_t counts[4] = {}; // cts, dsr, rng, dcd when the wait began
    };

    LineChannel(std::string path, int listenFd, int wakeFd);
    void run(std::stop_token stop);
    void accept();
    // False when the client is to be dropped.
    bool serve(Client& client);
    void answer(const tarn_line_request& request, tarn_line_reply& reply);
    void fillCounts(tarn_line_reply& reply) const;
    bool waitOver(const Client& client) const;
    void wake();

    const std::string m_path;
    const int m_listen;
    const int m_wake;              // eventfd: stop, or an input line changed
    std::vector<Client> m_clients; // the thread's own

    mutable std::mutex m_mutex;
    std::optional<std::uint32_t> m_frame; // under m_mutex
    std::optional<bool> m_rts, m_dtr;     // under m_mutex
    std::uint32_t m_inputs = 0;           // under m_mutex
    std::uint32_t m_lineCounts[4] = {};   // under m_mutex: cts, dsr, rng, dcd
    std::atomic<std::uint32_t> m_rx{0}, m_tx{0}, m_breaks{0};
    std::atomic<bool> m_breakOn{false};
    std::atomic<std::uint32_t> m_inputFlushes{0}, m_outputFlushes{0};

    std::jthread m_thread;
};
