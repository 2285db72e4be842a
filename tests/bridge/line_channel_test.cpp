// The port shim against a real port and its side channel, in one process: the library is
// loaded with dlopen and its interposed functions are called by address on the port's slave.

#include <gtest/gtest.h>

#include <atomic>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "bridge/tvs_port_ax.h"
#include "support/pty_app.h"
#include "support/temp_dir.h"

namespace {

using testsupport::waitUntil;
using Ioctl = int (*)(int, unsigned long, ...);
using GetAttr = int (*)(int, termios*);
using SetAttr = int (*)(int, int, const termios*);

class LineChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_runtime.path().empty());
        m_runtime.pointEnv("XDG_RUNTIME_DIR");
        m_shim = ::dlopen(TARN_BINARY_DIR "/src/shim/libtarnport.so", RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(m_shim, nullptr) << ::dlerror();
        m_ioctl = reinterpret_cast<Ioctl>(::dlsym(m_shim, "ioctl"));
        m_get = reinterpret_cast<GetAttr>(::dlsym(m_shim, "tcgetattr"));
        m_set = reinterpret_cast<SetAttr>(::dlsym(m_shim, "tcsetattr"));
        ASSERT_TRUE(m_ioctl && m_get && m_set);
        ASSERT_TRUE(m_port.CreatePort(L"COM31"));
        m_fd = ::open(m_runtime.file("tarn/COM31").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(m_fd, 0);
        ASSERT_TRUE(waitUntil([&] { return m_port.isOpen(); }));
    }
    void TearDown() override {
        if (m_fd >= 0)
            ::close(m_fd);
        m_port.Delete();
        if (m_shim)
            ::dlclose(m_shim);
    }

    tcflag_t frame() const {
        termios tio{};
        return m_get(m_fd, &tio) == 0 ? tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR) : ~0u;
    }
    bool setFrame(tcflag_t bits, bool twoStops) const {
        termios tio{};
        if (m_get(m_fd, &tio) != 0)
            return false;
        tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)) | bits |
                      (twoStops ? CSTOPB : 0);
        return m_set(m_fd, TCSANOW, &tio) == 0;
    }
    int modemLines() const {
        int lines = -1;
        return m_ioctl(m_fd, TIOCMGET, &lines) == 0 ? lines : -errno;
    }

    testsupport::TempDir m_runtime{"line-test"}; // first, so it outlives the port
    void* m_shim = nullptr;
    Ioctl m_ioctl = nullptr;
    GetAttr m_get = nullptr;
    SetAttr m_set = nullptr;
    TVSPortAx m_port;
    int m_fd = -1;
};

TEST_F(LineChannelTest, EveryFrameReadsBackAsSetAndIsThePorts) {
    struct Case {
        tcflag_t bits;
        bool twoStops;
        int dataBits, parity, stopBits;
    };
    for (const Case& c :
         {Case{CS7 | PARENB, false, 7, 2, 0}, Case{CS8 | PARENB | PARODD, true, 8, 1, 2},
          Case{CS5 | PARENB | PARODD | CMSPAR, true, 5, 3, 1}, Case{CS6 | PARENB | CMSPAR, false, 6, 4, 0},
          Case{CS8, false, 8, 0, 0}, Case{CS7 | PARENB, false, 7, 2, 0}}) {
        SCOPED_TRACE(c.bits);
        ASSERT_TRUE(setFrame(c.bits, c.twoStops));
        EXPECT_EQ(frame(), c.bits);
        EXPECT_EQ(m_port.dataBits(), c.dataBits);
        EXPECT_EQ(m_port.parity(), c.parity);
        EXPECT_EQ(m_port.stopBits(), c.stopBits);
    }
    // termios2 reads the same; the pseudo-terminal itself holds only what it can.
    unsigned words[11] = {};
    ASSERT_EQ(m_ioctl(m_fd, _IOR('T', 0x2A, words), words), 0);
    EXPECT_EQ(words[2] & (CSIZE | PARENB), static_cast<tcflag_t>(CS7 | PARENB));
    termios plain{};
    ASSERT_EQ(::tcgetattr(m_fd, &plain), 0);
    EXPECT_EQ(plain.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));

    struct stat st {};
    ASSERT_EQ(::stat(m_port.lineChannelPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // With nobody answering on the side channel, the shim gives what the C library does.
    ASSERT_EQ(::unlink(m_port.lineChannelPath().c_str()), 0);
    EXPECT_EQ(modemLines(), -ENOTTY);
    EXPECT_EQ(frame(), static_cast<tcflag_t>(CS8));
    termios wanted{};
    ASSERT_EQ(::tcgetattr(m_fd, &wanted), 0);
    wanted.c_cflag = (wanted.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB;
    errno = 0;
    const int viaShim = m_set(m_fd, TCSANOW, &wanted);
    const int shimError = errno;
    errno = 0;
    EXPECT_EQ(::tcsetattr(m_fd, TCSANOW, &wanted), viaShim); // the kernel's own answer, EINVAL or 0
    EXPECT_EQ(errno, shimError);
    // read and write are never the shim's: what its handle finds for them lies elsewhere.
    for (const char* name : {"ioctl", "read", "write", "open", "close"}) {
        Dl_info where{};
        ASSERT_NE(::dladdr(::dlsym(m_shim, name), &where), 0) << name;
        EXPECT_EQ(std::string(where.dli_fname).find("libtarnport") != std::string::npos, name == std::string("ioctl"))
            << name << " in " << where.dli_fname;
    }
}

TEST_F(LineChannelTest, InputLinesAreReadCountedAndWaitedFor) {
    m_port.SetCTS(true);
    m_port.SetRING(true);
    m_port.SetRING(true);               // no change, not counted
    int inputs = TIOCM_DTR | TIOCM_CTS; // only RTS and DTR are the application's to set
    EXPECT_EQ(m_ioctl(m_fd, TIOCMSET, &inputs), 0);
    EXPECT_EQ(modemLines(), TIOCM_DTR | TIOCM_CTS | TIOCM_RNG);
    EXPECT_EQ(m_port.Write("abc", 3), 3u);
    serial_icounter_struct counts{};
    ASSERT_EQ(m_ioctl(m_fd, TIOCGICOUNT, &counts), 0);
    EXPECT_EQ(counts.cts, 1);
    EXPECT_EQ(counts.rng, 1);
    EXPECT_EQ(counts.dsr, 0);
    EXPECT_EQ(counts.rx, 3);

    // The wait may begin after a change, so DSR changes until it has woken.
    std::atomic<int> result{1};
    std::thread waiter([&] { result = m_ioctl(m_fd, TIOCMIWAIT, TIOCM_DSR); });
    bool dsr = false;
    EXPECT_TRUE(waitUntil([&] {
        m_port.SetDSR(dsr = !dsr);
        return waitUntil([&] { return result.load() != 1; }, std::chrono::milliseconds(20));
    }));
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(m_ioctl(m_fd, TIOCMIWAIT, 0), -1);
    EXPECT_EQ(errno, EINVAL);
}

} // namespace
