// The port shim against a real port and its side channel, in one process: the shim library is
// loaded with dlopen and its interposed functions are called by address, on descriptors that
// an application would hold.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "bridge/tvs_port_ax.h"
#include "support/pty_app.h"

namespace {

using namespace std::chrono_literals;
using testsupport::waitUntil;

// The shim's entry points, found in the library itself rather than through the usual lookup.
struct Shim {
    using Ioctl = int (*)(int, unsigned long, ...);
    using GetAttr = int (*)(int, termios*);
    using SetAttr = int (*)(int, int, const termios*);
    using Break = int (*)(int, int);

    Shim() {
        handle = ::dlopen(TARN_BINARY_DIR "/src/shim/libtarnport.so", RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return;
        ioctl = reinterpret_cast<Ioctl>(::dlsym(handle, "ioctl"));
        tcgetattr = reinterpret_cast<GetAttr>(::dlsym(handle, "tcgetattr"));
        tcsetattr = reinterpret_cast<SetAttr>(::dlsym(handle, "tcsetattr"));
        tcsendbreak = reinterpret_cast<Break>(::dlsym(handle, "tcsendbreak"));
    }
    ~Shim() {
        if (handle)
            ::dlclose(handle);
    }
    bool ok() const { return ioctl && tcgetattr && tcsetattr && tcsendbreak; }

    int modemLines(int fd) const {
        int lines = -1;
        return ioctl(fd, TIOCMGET, &lines) == 0 ? lines : -errno;
    }
    int change(int fd, unsigned long request, int bits) const { return ioctl(fd, request, &bits); }
    tcflag_t frame(int fd) const {
        termios tio{};
        return tcgetattr(fd, &tio) == 0 ? tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR) : ~0u;
    }
    bool setFrame(int fd, tcflag_t bits, speed_t speed = B9600, bool twoStops = false) const {
        termios tio{};
        if (tcgetattr(fd, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, speed);
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)) | bits |
                      (twoStops ? CSTOPB : 0);
        return tcsetattr(fd, TCSANOW, &tio) == 0;
    }

    void* handle = nullptr;
    Ioctl ioctl = nullptr;
    GetAttr tcgetattr = nullptr;
    SetAttr tcsetattr = nullptr;
    Break tcsendbreak = nullptr;
};

class LineChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/tarn-line-test-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        m_runtime = templ;
        ::setenv("XDG_RUNTIME_DIR", m_runtime.c_str(), 1);
        ASSERT_TRUE(m_shim.ok()) << ::dlerror();
        ASSERT_TRUE(m_port.CreatePort(L"COM31"));
        ASSERT_EQ(m_port.lineChannelPath(), m_runtime + "/tarn/.COM31.line");
    }
    void TearDown() override {
        if (m_fd >= 0)
            ::close(m_fd);
        m_port.Delete();
        ::unsetenv("XDG_RUNTIME_DIR");
        std::error_code ec;
        std::filesystem::remove_all(m_runtime, ec);
    }
    int openPort() {
        m_fd = ::open((m_runtime + "/tarn/COM31").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return m_fd;
    }

    std::string m_runtime;
    Shim m_shim;
    TVSPortAx m_port;
    int m_fd = -1;
};

TEST_F(LineChannelTest, FrameAndOutputLinesSetThroughTheShimAreThePortsUntilItCloses) {
    const int fd = openPort();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(waitUntil([&] { return m_port.isOpen(); }));
    EXPECT_EQ(m_shim.modemLines(fd), TIOCM_RTS | TIOCM_DTR); // raised by the open, as on a serial port

    struct Case {
        tcflag_t bits;
        bool twoStops;
        int dataBits, parity, stopBits;
    };
    for (const Case& c : {Case{CS7 | PARENB, false, 7, 2, 0}, Case{CS8 | PARENB | PARODD, true, 8, 1, 2},
                          Case{CS5 | PARENB | PARODD | CMSPAR, true, 5, 3, 1}, Case{CS6 | PARENB | CMSPAR, false, 6, 4, 0},
                          Case{CS8, false, 8, 0, 0}}) {
        SCOPED_TRACE(c.dataBits);
        ASSERT_TRUE(m_shim.setFrame(fd, c.bits, B19200, c.twoStops));
        EXPECT_EQ(m_shim.frame(fd), c.bits);
        EXPECT_EQ(m_port.dataBits(), c.dataBits);
        EXPECT_EQ(m_port.parity(), c.parity);
        EXPECT_EQ(m_port.stopBits(), c.stopBits);
        EXPECT_EQ(m_port.baudRate(), 19200);
    }
    // termios2 reads the same, and the pseudo-terminal itself still holds what its driver forces.
    ASSERT_TRUE(m_shim.setFrame(fd, CS7 | PARENB));
    unsigned words[11] = {};
    ASSERT_EQ(m_shim.ioctl(fd, _IOR('T', 0x2A, words), words), 0);
    EXPECT_EQ(words[2] & (CSIZE | PARENB), static_cast<tcflag_t>(CS7 | PARENB));
    termios plain{};
    ASSERT_EQ(::tcgetattr(fd, &plain), 0);
    EXPECT_EQ(plain.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));

    EXPECT_EQ(m_shim.change(fd, TIOCMBIC, TIOCM_RTS), 0);
    EXPECT_FALSE(m_port.rts());
    EXPECT_TRUE(m_port.dtr());
    EXPECT_EQ(m_shim.change(fd, TIOCMSET, TIOCM_RTS), 0);
    EXPECT_TRUE(m_port.rts());
    EXPECT_FALSE(m_port.dtr());
    EXPECT_EQ(m_shim.change(fd, TIOCMBIS, TIOCM_DTR | TIOCM_CTS), 0); // inputs are not the application's
    EXPECT_EQ(m_shim.modemLines(fd), TIOCM_RTS | TIOCM_DTR);

    // Breaks are answered and counted, never carried.
    EXPECT_EQ(m_shim.tcsendbreak(fd, 0), 0);
    EXPECT_EQ(m_shim.ioctl(fd, TIOCSBRK, 0), 0);
    EXPECT_EQ(m_shim.ioctl(fd, TIOCCBRK, 0), 0);
    EXPECT_EQ(m_port.breakRequests(), 2u);

    ::close(fd);
    m_fd = -1;
    ASSERT_TRUE(waitUntil([&] { return !m_port.isOpen(); }));
    EXPECT_EQ(m_port.dataBits(), 8);
    EXPECT_EQ(m_port.parity(), 0);
    const int again = openPort();
    ASSERT_GE(again, 0);
    ASSERT_TRUE(waitUntil([&] { return m_port.isOpen(); }));
    EXPECT_TRUE(m_port.rts());
    EXPECT_TRUE(m_port.dtr());
    EXPECT_EQ(m_shim.frame(again), static_cast<tcflag_t>(CS8));
}

TEST_F(LineChannelTest, TheDevicesInputLinesAreReadCountedAndWaitedFor) {
    const int fd = openPort();
    ASSERT_GE(fd, 0);
    m_port.SetCTS(true);
    m_port.SetRING(true);
    m_port.SetRING(true); // no change, not counted
    EXPECT_EQ(m_shim.modemLines(fd), TIOCM_RTS | TIOCM_DTR | TIOCM_CTS | TIOCM_RNG);
    ASSERT_TRUE(waitUntil([&] { return m_port.isOpen(); }));
    EXPECT_EQ(m_port.Write("abc", 3), 3u);

    serial_icounter_struct counts{};
    ASSERT_EQ(m_shim.ioctl(fd, TIOCGICOUNT, &counts), 0);
    EXPECT_EQ(counts.cts, 1);
    EXPECT_EQ(counts.rng, 1);
    EXPECT_EQ(counts.dsr, 0);
    EXPECT_EQ(counts.rx, 3);

    // A wait on DSR wakes on DSR. It may start after a change, so DSR changes until it has woken.
    std::atomic<int> result{1};
    std::thread waiter([&] { result = m_shim.ioctl(fd, TIOCMIWAIT, TIOCM_DSR); });
    bool dsr = false;
    EXPECT_TRUE(waitUntil([&] {
        dsr = !dsr;
        m_port.SetDSR(dsr);
        return waitUntil([&] { return result.load() != 1; }, 20ms);
    }));
    waiter.join();
    EXPECT_EQ(result.load(), 0);

    int none = 0;
    errno = 0;
    EXPECT_EQ(m_shim.ioctl(fd, TIOCMIWAIT, none), -1);
    EXPECT_EQ(errno, EINVAL);
}

// Descriptors that are not ours, and ports whose program does not answer, get exactly what the
// C library gives; read and write are not the shim's at all.
TEST_F(LineChannelTest, WithoutAnAnsweringProgramNothingChanges) {
    for (const char* name : {"read", "write", "open", "close"})
        EXPECT_EQ(::dlsym(m_shim.handle, name), ::dlsym(RTLD_DEFAULT, name)) << name;
    EXPECT_NE(::dlsym(m_shim.handle, "ioctl"), ::dlsym(RTLD_DEFAULT, "ioctl"));

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int other = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_EQ(m_shim.modemLines(other), -ENOTTY);
    EXPECT_TRUE(m_shim.setFrame(other, CS7 | PARENB));
    EXPECT_EQ(m_shim.frame(other), static_cast<tcflag_t>(CS8));
    ::close(other);
    ::close(master);

    const int fd = openPort();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(m_shim.setFrame(fd, CS7 | PARENB));
    EXPECT_EQ(m_shim.frame(fd), static_cast<tcflag_t>(CS7 | PARENB));
    ASSERT_EQ(::unlink(m_port.lineChannelPath().c_str()), 0);
    EXPECT_EQ(m_shim.modemLines(fd), -ENOTTY);
    EXPECT_EQ(m_shim.frame(fd), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(m_shim.ioctl(fd, TIOCMIWAIT, TIOCM_CTS), -1);
    EXPECT_EQ(errno, ENOTTY);
}

} // namespace
