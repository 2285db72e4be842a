#include "bridge/tcp_tuning.h"

#include <charconv>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

std::optional<long> takeNumber(std::string_view& text) {
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || value <= 0 || value > 86400000)
        return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

TcpTuning tuningFromEnvironment() {
    const char* text = std::getenv("TARN_TEST_TCP_TUNING");
    if (text == nullptr)
        return kTcpTuning;
    return parseTcpTuning(text).value_or(kTcpTuning);
}

void setInt(SocketHandle sock, int level, int option, long value) {
    const int v = static_cast<int>(value);
    g_sock->setOption(sock, level, option, &v, sizeof v);
}

} // namespace

std::optional<TcpTuning> parseTcpTuning(std::string_view text) {
    long values[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (text.empty() || text.front() != ',')
                return std::nullopt;
            text.remove_prefix(1);
        }
        const auto value = takeNumber(text);
        if (!value)
            return std::nullopt;
        values[i] = *value;
    }
    if (!text.empty())
        return std::nullopt;
    TcpTuning tuning;
    tuning.keepIdle = std::chrono::seconds(values[0]);
    tuning.keepInterval = std::chrono::seconds(values[1]);
    tuning.keepCount = static_cast<int>(values[2]);
    tuning.userTimeout = std::chrono::milliseconds(values[3]);
    return tuning;
}

const TcpTuning& tcpTuning() {
    static const TcpTuning tuning = tuningFromEnvironment();
    return tuning;
}

void tuneControlSocket(SocketHandle sock) {
    if (g_sock == nullptr || sock <= 0)
        return;
    const TcpTuning& tuning = tcpTuning();
    setInt(sock, SOL_SOCKET, SO_KEEPALIVE, 1);
    setInt(sock, IPPROTO_TCP, TCP_KEEPIDLE, tuning.keepIdle.count());
    setInt(sock, IPPROTO_TCP, TCP_KEEPINTVL, tuning.keepInterval.count());
    setInt(sock, IPPROTO_TCP, TCP_KEEPCNT, tuning.keepCount);
    setInt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, tuning.userTimeout.count());
}

void tuneDataSocket(SocketHandle sock) {
    if (g_sock == nullptr || sock <= 0)
        return;
    tuneControlSocket(sock);
    setInt(sock, IPPROTO_TCP, TCP_NODELAY, 1);
}
