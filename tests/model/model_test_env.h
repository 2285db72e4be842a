#pragma once
// Shared set-up of the model tests: private port and config folders, the socket layer, and
// an application that opens a COM link the way a terminal program does.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bridge/portable_sock.h"
#include "support/desc.h"
#include "support/netns.h"
#include "support/temp_dir.h"
#include "support/wait.h"

namespace modeltest {

using testsupport::waitUntil;

// A fresh folder for each test, removed afterwards; XDG_RUNTIME_DIR and XDG_CONFIG_HOME point
// into it, so port links and the mapping file never touch the user's own.
class ModelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Isolation only: nothing here sends, but listening and bound sockets stay private
        // when a namespace can be had. Must run before any thread starts.
        (void)::testsupport::enterPrivateNetworkNamespace();
        startSocketLayer();
    }

    void SetUp() override {
        ASSERT_FALSE(m_home.path().empty());
        m_root = m_home.path();
        m_runtime = m_home.pointEnv("XDG_RUNTIME_DIR", "run");
        m_config = m_home.pointEnv("XDG_CONFIG_HOME", "config");
        std::filesystem::create_directories(m_runtime);
        std::filesystem::permissions(m_runtime, std::filesystem::perms::owner_all);
    }

    std::string portDir() const { return m_runtime + "/tarn"; }
    std::string linkOf(int comNumber) const { return portDir() + "/COM" + std::to_string(comNumber); }
    std::string mappingFile() const { return m_config + "/tarn/79828669767684658278"; }

    testsupport::TempDir m_home{"model"}; // first, so it outlives what the tests make
    std::string m_root, m_runtime, m_config;
};

inline std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// An application holding COM<n> open, raw, at a chosen speed and flow control.
class Application {
public:
    explicit Application(const std::string& link, speed_t speed = B9600, tcflag_t extraCflag = 0, tcflag_t iflag = 0) {
        m_fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0)
            return;
        termios tio{};
        ::tcgetattr(m_fd, &tio);
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        tio.c_cflag |= CLOCAL | CREAD | extraCflag;
        tio.c_iflag |= iflag;
        ::tcsetattr(m_fd, TCSANOW, &tio);
    }
    ~Application() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    bool ok() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

using testsupport::inPrivateNetworkNamespace;

// A TCP port on 127.0.0.1 that nothing listens on right now, released for a mapping to take
// later. Safe only where no other process can take it meanwhile, so its users require the
// private namespace that ModelTest enters (TARN_REQUIRE_PRIVATE_NETNS); anywhere else this
// refuses and fails the test.
inline std::uint16_t unusedLoopbackPort() {
    if (!inPrivateNetworkNamespace()) {
        ADD_FAILURE() << "unusedLoopbackPort outside a private network namespace: another test could take the port";
        return 0;
    }
    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(sock);
    return ::ntohs(address.sin_port);
}

} // namespace modeltest
