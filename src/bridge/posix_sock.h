#pragma once
// The socket layer over POSIX sockets.

#include "bridge/portable_sock.h"
#include "bridge/socket_monitor.h"

class PosixSock final : public PortableSock {
public:
    SocketHandle socket(int family, int type, int protocol) override;
    int send(SocketHandle sock, const void* data, int length, int flags) override;
    int sendto(SocketHandle sock, const void* data, int length, int flags, const Winsock_sockaddr_in* to) override;
    int recvfrom(SocketHandle sock, void* buffer, int size, int flags, const Winsock_sockaddr_in* from) override;
    int recv(SocketHandle sock, void* buffer, int size, int flags) override;
    int bind(SocketHandle sock, const Winsock_sockaddr_in* address) override;
    int close(SocketHandle sock) override;
    SocketHandle accept(SocketHandle sock, const Winsock_sockaddr_in* address) override;
    int listen(SocketHandle sock, int backlog) override;
    std::uint32_t inetAddr(const char* text) override;
    std::uint16_t htons(std::uint16_t value) override;
    std::uint16_t ntohs(std::uint16_t value) override;
    int asyncSelect(SocketHandle sock, unsigned offset, unsigned events) override;
    int connect(SocketHandle sock, const Winsock_sockaddr_in* address) override;
    int connectStart(SocketHandle sock, const Winsock_sockaddr_in* address) override;
    int connectResult(SocketHandle sock) override;
    int lastError() override;
    int shutdown(SocketHandle sock, int how) override;
    int setOption(SocketHandle sock, int level, int option, const void* value, int length) override;
    void setNotificationSink(SocketNotificationSink sink) override { m_monitor.setSink(std::move(sink)); }
    bool isCurrentRegistration(SocketHandle sock, std::uint64_t registration) override {
        return m_monitor.isCurrent(sock, registration);
    }

private:
    SocketMonitor m_monitor;
};
