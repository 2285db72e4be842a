#pragma once
// The socket layer: one object behind one global pointer, thin over BSD sockets, owning the
// watch on the sockets registered with asyncSelect,
// with the side effects callers rely on (non-blocking before send/accept/recvfrom, a 1 ms
// receive time-out before recv, a bounded writability wait before connect).

#include <arpa/inet.h>
#include <cstdint>
#include <functional>
#include <netinet/in.h>

// glibc makes these macros when optimising, which would rewrite the member calls
// g_sock->htons(...) below; the real functions stay declared.
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

using SocketHandle = int;

// The one "nothing to do now" error, whatever errno said (EAGAIN, EWOULDBLOCK, EINPROGRESS).
inline constexpr int kWouldBlock = 10035;

// Notification events, with the values callers test.
enum : unsigned {
    FD_READ = 0x01,
    FD_WRITE = 0x02,
    FD_OOB = 0x04,
    FD_ACCEPT = 0x08,
    FD_CONNECT = 0x10,
    FD_CLOSE = 0x20,
};
inline constexpr unsigned kDataSocketEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
inline constexpr unsigned kSocketMessageBase = 1025;

// One IPv4 endpoint; port and address are kept in network byte order.
class Winsock_sockaddr_in {
public:
    virtual ~Winsock_sockaddr_in() = default;
    virtual void set(std::uint16_t family, std::uint16_t portNetOrder, const char* text);
    virtual void setPort(std::uint16_t portNetOrder) { sin_port = portNetOrder; }
    virtual void setAddressText(const char* text);
    virtual void setFamily(std::uint16_t family) { sin_family = family; }
    virtual std::uint16_t getFamily() const { return sin_family; }
    virtual std::uint32_t getAddress() const;
    virtual void setAddress(std::uint32_t valueNetOrder);
    virtual std::uint16_t getPort() const { return sin_port; }
    // Writes the dotted text (at least 16 bytes of room) and returns the buffer.
    virtual char* toText(char* buffer) const;

    std::uint16_t sin_family = 2;
    std::uint16_t sin_port = 0;
    std::uint8_t sin_addr[4] = {0, 0, 0, 0};
};

// A close (or other) event for a socket registered with asyncSelect, as it reaches the main
// loop. `registration` tells this registration apart from a later one of the same number.
struct SocketNotification {
    unsigned message = 0; // kSocketMessageBase + offset
    SocketHandle sock = -1;
    unsigned event = 0;
    std::uint64_t registration = 0;
};
using SocketNotificationSink = std::function<void(const SocketNotification&)>;

class PortableSock {
public:
    virtual ~PortableSock() = default;
    virtual SocketHandle socket(int family, int type, int protocol) = 0;
    virtual int send(SocketHandle sock, const void* data, int length, int flags) = 0;
    virtual int sendto(SocketHandle sock, const void* data, int length, int flags, const Winsock_sockaddr_in* to) = 0;
    virtual int recvfrom(SocketHandle sock, void* buffer, int size, int flags, const Winsock_sockaddr_in* from) = 0;
    virtual int recv(SocketHandle sock, void* buffer, int size, int flags) = 0;
    virtual int bind(SocketHandle sock, const Winsock_sockaddr_in* address) = 0;
    virtual int close(SocketHandle sock) = 0;
    virtual SocketHandle accept(SocketHandle sock, const Winsock_sockaddr_in* address) = 0;
    virtual int listen(SocketHandle sock, int backlog) = 0;
    virtual std::uint32_t inetAddr(const char* text) = 0;
    virtual std::uint16_t htons(std::uint16_t value) = 0;
    virtual std::uint16_t ntohs(std::uint16_t value) = 0;
    virtual int asyncSelect(SocketHandle sock, unsigned offset, unsigned events) = 0;
    virtual int connect(SocketHandle sock, const Winsock_sockaddr_in* address) = 0;
    // A connect that does not wait for the peer: 0 when connected at once, else -1 with
    // lastError() kWouldBlock while it goes on (connectResult() tells the outcome later).
    // Layers that cannot start one in the background connect as connect() does.
    virtual int connectStart(SocketHandle sock, const Winsock_sockaddr_in* address) { return connect(sock, address); }
    // The outcome of connectStart(): 0 connected, kWouldBlock still going on, else the error.
    virtual int connectResult(SocketHandle sock) {
        (void)sock;
        return 0;
    }
    virtual int lastError() = 0;
    virtual int shutdown(SocketHandle sock, int how) = 0;
    virtual int setOption(SocketHandle sock, int level, int option, const void* value, int length) = 0;

    // Where notifications of sockets registered with asyncSelect go (the window, or the
    // daemon's queue); the sink is called on the layer's own thread and must only queue.
    // Pass nullptr to detach.
    virtual void setNotificationSink(SocketNotificationSink sink) = 0;
    // True while `registration` is still the live asyncSelect registration of `sock`: a
    // notification for a socket that has since been closed (and perhaps reused) is stale.
    virtual bool isCurrentRegistration(SocketHandle sock, std::uint64_t registration) = 0;
};

// The global socket layer. startSocketLayer() runs once (later calls are no-ops).
extern PortableSock* g_sock;
void startSocketLayer();
void stopSocketLayer();
