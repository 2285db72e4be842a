#include "model/net_struct.h"

#include <unistd.h>

void closeSocketHandle(SocketHandle sock) {
    if (sock <= 0)
        return;
    if (g_sock)
        g_sock->close(sock);
    else
        ::close(sock);
}

NETSTRUCT::NETSTRUCT()
    : localAddr(std::make_unique<Winsock_sockaddr_in>()), remoteAddr(std::make_unique<Winsock_sockaddr_in>()) {}

NETSTRUCT::~NETSTRUCT() {
    closeSocketHandle(dataSock.exchange(0));
    closeSocketHandle(listenSock.exchange(0));
}
