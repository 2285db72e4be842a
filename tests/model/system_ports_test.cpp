// The system's serial ports with real files: a fake sysfs tree made of folders, and a port
// directory holding what an earlier run, another program and this process left there.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bridge/tvs_port_ax.h"
#include "model/system_ports.h"
#include "support/temp_dir.h"

namespace {

// Run as a program of its own with TARN_TEST_HOLD_PORT="<ready fd> <done fd>": another
// process of ours that makes COM6, says so, and ends without deleting it when told. A new
// program, since a forked copy of one whose ports run threads may not start threads.
const bool kHoldsPort = [] {
    if (const char* fds = std::getenv("TARN_TEST_HOLD_PORT")) {
        int ready = -1, done = -1;
        if (std::sscanf(fds, "%d %d", &ready, &done) != 2)
            ::_exit(2);
        TVSPortAx there;
        const char made = there.CreatePort(L"COM6") ? 'y' : 'n';
        (void)!::write(ready, &made, 1);
        char go = 0;
        (void)!::read(done, &go, 1);
        ::_exit(0);
    }
    return false;
}();

namespace fs = std::filesystem;
using Numbers = std::deque<std::int32_t>;

class SystemPortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.path().empty());
        // The virtual ports this process creates land in our port directory, as in the program.
        m_root = m_dir.pointEnv("XDG_RUNTIME_DIR");
        fs::create_directory(sysTty());
        ASSERT_EQ(::mkdir(portDir().c_str(), 0700), 0);
        m_sources.sysClassTty = sysTty();
        m_sources.portDir = portDir();
    }

    std::string sysTty() const { return m_root + "/sys-class-tty"; }
    std::string portDir() const { return m_root + "/tarn"; }
    std::string entry(const std::string& name) const { return portDir() + "/" + name; }
    void serialPort(const std::string& name, bool hardware) const {
        fs::create_directories(sysTty() + "/" + name);
        if (hardware)
            fs::create_directory(sysTty() + "/" + name + "/device");
    }
    // Any entry in the directory, dangling links included.
    bool present(const std::string& name) const {
        return fs::symlink_status(entry(name)).type() != fs::file_type::not_found;
    }

    testsupport::TempDir m_dir{"sysports"};
    std::string m_root;
    SystemPortSources m_sources;
};

TEST_F(SystemPortsTest, SerialPortsWithHardwareCountAsTheNextComNumberInOrder) {
    serialPort("ttyS11", true);
    serialPort("ttyS1", true);
    serialPort("ttyS0", true);
    serialPort("ttyS4", false);
    // Not the serial driver's, or not a number the way the kernel writes it.
    for (const char* name : {"tty1", "ttyUSB0", "ttyS", "ttyS01", "ttyS2x", "ttyS99999"})
        serialPort(name, true);
    EXPECT_EQ(scanSystemPorts(m_sources), (Numbers{1, 2, 12}));

    // The real tree: ttyS<k> are links to device folders, and so is `device`.
    fs::create_directories(m_root + "/devices/serial8250/tty/ttyS6");
    fs::create_directory_symlink(m_root + "/devices/serial8250", m_root + "/devices/serial8250/tty/ttyS6/device");
    fs::create_directory_symlink(m_root + "/devices/serial8250/tty/ttyS6", sysTty() + "/ttyS6");
    EXPECT_EQ(scanSystemPorts(m_sources), (Numbers{1, 2, 7, 12}));
}

TEST_F(SystemPortsTest, StaleLinksOfOursGoAndEverythingElseInThePortDirectoryIsTaken) {
    fs::create_symlink(m_root + "/gone", entry("COM7"));
    std::ofstream(entry("COM9")) << "someone else's";
    fs::create_symlink("/dev/null", entry("COM3"));
    fs::create_directory(entry("COM20"));
    // Not port names: left alone and not counted.
    for (const char* name : {"COM0", "COM05", "COM123456", "COM", "COMx", "tarn.lock", ".COM4.lock"})
        std::ofstream(entry(name)) << "x";

    EXPECT_EQ(scanSystemPorts(m_sources), (Numbers{3, 9, 20}));
    EXPECT_FALSE(present("COM7")) << "the dangling link of an earlier run is removed";
    std::string text;
    std::getline(std::ifstream(entry("COM9")), text);
    EXPECT_EQ(text, "someone else's");
    EXPECT_EQ(fs::read_symlink(entry("COM3")), "/dev/null");
    EXPECT_TRUE(fs::is_directory(entry("COM20")));
    for (const char* name : {"COM0", "COM05", "COM123456", "COM", "COMx", "tarn.lock", ".COM4.lock"})
        EXPECT_TRUE(present(name)) << name;
    EXPECT_FALSE(present(".COM7.lock")) << "the name's lock, taken for the look, does not stay";
    EXPECT_FALSE(present(".COM9.lock"));
}

TEST_F(SystemPortsTest, ANumberTakenTwiceIsRecordedOnce) {
    serialPort("ttyS8", true);
    serialPort("ttyS1", true);
    std::ofstream(entry("COM9")) << "x";
    std::ofstream(entry("COM4")) << "x";
    std::ofstream(entry("COM2")) << "x";
    EXPECT_EQ(scanSystemPorts(m_sources), (Numbers{2, 9, 4}));
}

TEST_F(SystemPortsTest, LivePortsOfOursAreNotTaken) {
    // They are the mappings' own ports, which the mapping lists account for; recording them
    // would make the dialog refuse a number only because a mapping already uses it.
    TVSPortAx here;
    ASSERT_TRUE(here.CreatePort(L"COM5"));
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string fds = std::to_string(ready[1]) + " " + std::to_string(done[0]);
        ::setenv("TARN_TEST_HOLD_PORT", fds.c_str(), 1);
        ::execl("/proc/self/exe", "system_ports_test", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Only the child writes "ready" and reads "done": a child that dies early ends our read.
    ::close(ready[1]);
    ::close(done[0]);
    char made = 0;
    ASSERT_EQ(::read(ready[0], &made, 1), 1);
    ASSERT_EQ(made, 'y');
    const auto hereTarget = fs::read_symlink(entry("COM5"));
    const auto thereTarget = fs::read_symlink(entry("COM6"));

    m_sources.portDir.clear(); // the default: the port directory the ports were created in
    EXPECT_EQ(scanSystemPorts(m_sources), Numbers{});
    EXPECT_EQ(fs::read_symlink(entry("COM5")), hereTarget);
    EXPECT_EQ(fs::read_symlink(entry("COM6")), thereTarget);
    EXPECT_EQ(portNameState("COM5"), PortNameState::Live);
    EXPECT_EQ(portNameState("COM6"), PortNameState::Live);

    // The other process ends without deleting its port: its link is now stale and goes.
    ASSERT_EQ(::write(done[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(scanSystemPorts(m_sources), Numbers{});
    EXPECT_FALSE(present("COM6"));
    EXPECT_TRUE(present("COM5"));
    for (int fd : {ready[0], done[1]})
        ::close(fd);
}

TEST_F(SystemPortsTest, APortDirectoryThatIsALinkOrNotThereIsNeverRead) {
    const std::string elsewhere = m_root + "/elsewhere";
    fs::create_directory(elsewhere);
    fs::create_symlink(m_root + "/gone", elsewhere + "/COM7");
    std::ofstream(elsewhere + "/COM9") << "x";
    fs::create_directory_symlink(elsewhere, m_root + "/linked");

    m_sources.portDir = m_root + "/linked";
    EXPECT_EQ(scanSystemPorts(m_sources), Numbers{});
    EXPECT_TRUE(fs::is_symlink(elsewhere + "/COM7")) << "nothing behind the link is touched";

    m_sources.portDir = m_root + "/missing";
    EXPECT_EQ(scanSystemPorts(m_sources), Numbers{});
    EXPECT_FALSE(fs::exists(m_root + "/missing")) << "a scan creates no directory";

    m_sources.sysClassTty = m_root + "/missing-sys";
    EXPECT_EQ(scanSystemPorts(m_sources), Numbers{});
}

TEST_F(SystemPortsTest, TheProgramRecordsOnceAndKeepsTheNumbers) {
    serialPort("ttyS0", true);
    std::ofstream(entry("COM9")) << "x";
    // Process-wide: only the first run of this test in a process sees the record made.
    if (!systemPortNumbers().empty())
        GTEST_SKIP() << "this process has recorded its ports already (a repeated run)";
    recordSystemPorts(m_sources);
    EXPECT_EQ(systemPortNumbers(), (Numbers{1, 9}));

    serialPort("ttyS2", true);
    recordSystemPorts(m_sources);
    recordSystemPorts();
    EXPECT_EQ(systemPortNumbers(), (Numbers{1, 9}));
}

} // namespace
