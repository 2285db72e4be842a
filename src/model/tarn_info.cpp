#include "model/tarn_info.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "model/tarn_thread.h"

[[noreturn]] void throwInvalidSubscript() {
    throw std::out_of_range("invalid deque<T> subscript");
}

TARNINFO::TARNINFO()
    : port(std::make_unique<TVSPortAx>()), buffers(std::make_unique<TXRXBUFFER>()),
      netToPort(std::make_unique<ByteRing>(buffers->netToPortStore.get(), kRingCapacity)),
      portToNet(std::make_unique<ByteRing>(buffers->portToNetStore.get(), kRingCapacity)),
      net(std::make_unique<NETSTRUCT>()), control(std::make_unique<mek_ncp>()), desc(std::make_unique<tarnDesc>()) {
    active.store(1);
    lastOpen.store(0);
}

TARNINFO::~TARNINFO() {
    releaseParts();
}

bool TARNINFO::createPort(int comNumberValue) {
    const std::wstring name = L"COM" + std::to_wstring(static_cast<unsigned>(comNumberValue));
    bool made = port->CreatePort(name);
    if (!made)
        made = port->Attach(name);
    port->SetWiring(32, 16, 0, 0);
    return made;
}

void TARNINFO::startThreads(ThreadSetList& threadSets, const ThreadMaker& maker) {
    auto threadSet = std::make_unique<TARNThread>(this, maker);
    TARNThread& started = *threadSet;
    threadSets.push_back(std::move(threadSet));
    started.resumeAll();
}

void TARNINFO::stopThreads(ThreadSetList& threadSets, std::size_t position) {
    listAt(threadSets, position)->terminateAll();
}

void TARNINFO::destroy(ThreadSetList& threadSets) {
    const auto position = static_cast<std::size_t>(index);
    if (index < 0)
        throwInvalidSubscript();
    // The records go only after every thread has finished its last pass over them.
    listAt(threadSets, position)->release();
    threadSets.erase(threadSets.begin() + static_cast<std::ptrdiff_t>(position));
    releaseParts();
}

void TARNINFO::releaseParts() {
    buffers.reset();
    net.reset();
    netToPort.reset();
    portToNet.reset();
    control.reset();
    if (port) {
        port->Delete();
        port.reset();
    }
    desc.reset();
    active.store(0);
}

bool TARNINFO::isOpen() const {
    return port && port->isOpen();
}
std::uint32_t TARNINFO::inQueue() const {
    return port ? port->inQueue() : 0;
}
std::int32_t TARNINFO::baudRate() const {
    return port ? port->baudRate() : 0;
}
std::int32_t TARNINFO::dataBits() const {
    return port ? port->dataBits() : 0;
}
std::int32_t TARNINFO::parity() const {
    return port ? port->parity() : 0;
}
std::int32_t TARNINFO::stopBits() const {
    return port ? port->stopBits() : 0;
}
std::int32_t TARNINFO::controlHandShake() const {
    return port ? static_cast<std::int32_t>(port->controlHandShake()) : 0;
}
std::int32_t TARNINFO::flowReplace() const {
    return port ? static_cast<std::int32_t>(port->flowReplace()) : 0;
}

void TARNINFO::setBaudRate(std::int32_t baud) {
    port->SetStrictBaudrate(true);
    port->setBaudRate(baud);
}

bool TARNINFO::rtsState() const {
    return port && port->rts();
}
bool TARNINFO::dtrState() const {
    return port && port->dtr();
}

void TARNINFO::snapshotModemLines() {
    lastDtr = dtrState() ? 1 : 0;
    lastRts = rtsState() ? 1 : 0;
}

bool TARNINFO::hangUpOnClose() const {
    return port && port->hangUpOnClose();
}

bool TARNINFO::modemLinesChanged() const {
    return (dtrState() ? 1 : 0) != lastDtr || (rtsState() ? 1 : 0) != lastRts;
}

void TARNINFO::pushRts() {
    control->setRts(rtsState() ? 1 : 0);
}
void TARNINFO::pushDtr() {
    control->setDtr(dtrState() ? 1 : 0);
}
bool TARNINFO::applyRing() {
    return port->SetRING(control->ri != 0);
}
bool TARNINFO::applyDcd() {
    return port->SetDCD(control->dcd != 0);
}
bool TARNINFO::applyDsr() {
    return port->SetDSR(control->dsr != 0);
}
bool TARNINFO::applyCts() {
    return port->SetCTS(control->cts != 0);
}

bool TARNINFO::isConnected() const {
    if (net->isTcp.load() != 1)
        return false;
    const std::int32_t up = net->isServer.load() == 1 ? net->serverConnected.load() : net->clientConnected.load();
    return up != 0 && net->peerClosed.load() == 0;
}

std::uint16_t TARNINFO::localPort() const {
    return ::ntohs(net->localAddr->getPort());
}
std::uint16_t TARNINFO::remotePort() const {
    return ::ntohs(net->remoteAddr->getPort());
}

char* TARNINFO::peerText(char* buffer) const {
    return net->remoteAddr->toText(buffer);
}

std::string TARNINFO::peerText() const {
    char text[32] = {};
    return peerText(text);
}

void TARNINFO::setDesc(std::int32_t comNum, std::int32_t mode, const char* ipText, std::uint16_t localPortValue,
                       std::uint16_t remotePortValue) {
    // The RFC 2217 mark is the mapping's kind, not part of its address: it stays while the
    // mapping stays a TCP client, so no pass ever sees a marked mapping unmarked.
    const bool marked = ::isRfc2217(*desc) && mode == kModeTcpClient;
    desc->comNum = comNum;
    desc->mode = mode;
    std::memset(desc->ipAddress, 0, sizeof desc->ipAddress);
    if (ipText)
        std::strncpy(desc->ipAddress, ipText, sizeof desc->ipAddress - 1);
    if (marked)
        setRfc2217(*desc, true);
    desc->localPort = localPortValue;
    desc->remotePort = remotePortValue;
}

void TARNINFO::descIpText(char* buffer, std::size_t size) const {
    if (size == 0)
        return;
    std::snprintf(buffer, size, "%s", desc->ipAddress);
}

void TARNINFO::setControlTarget(const char* ipText, std::uint16_t portValue) {
    control->setTarget(ipText, portValue);
}

void TARNINFO::setControlPassword(const char* password) {
    std::memset(control->password, 0, sizeof control->password);
    // The field is 16 raw bytes on the wire; it need not end in a NUL.
    std::memcpy(control->password, password, ::strnlen(password, sizeof control->password));
}

const char* flowControlText(std::uint32_t controlHandShake, std::uint32_t flowReplace) {
    if ((controlHandShake & 0x01) && !(controlHandShake & 0x1A) && (flowReplace & 0x43) == 0x43 &&
        !(flowReplace & 0x80))
        return "Xon/Xoff";
    if ((controlHandShake & 0x1A) == 0x1A && (flowReplace & 0x80) && !(flowReplace & 0x03))
        return "Hardware";
    return "None";
}

namespace {

void setCell(char* cell, const char* text) {
    std::snprintf(cell, kRowCellSize, "%s", text);
}

const char* parityText(std::int32_t parity) {
    switch (parity) {
    case 0:
        return "None";
    case 1:
        return "Odd";
    case 2:
        return "Even";
    case 3:
        return "Mark";
    case 4:
        return "Space";
    default:
        return nullptr;
    }
}

const char* stopBitsText(std::int32_t stopBits) {
    switch (stopBits) {
    case 0:
        return "1";
    case 1:
        return "1.5";
    case 2:
        return "2";
    default:
        return nullptr;
    }
}

} // namespace

void TARNINFO::refreshRowText() {
    const bool open = isOpen();
    const bool tcp = isTcp();
    const bool server = isServer();
    const bool tcpServer = tcp && server;
    const bool connected = isConnected();

    std::snprintf(rowText[0], kRowCellSize, "%d", index + 1);
    std::snprintf(rowText[1], kRowCellSize, "%d", comNumber);
    setCell(rowText[2], tcp ? "TCP" : "UDP");
    setCell(rowText[3], server ? "Server" : "Client");
    if (!tcp)
        setCell(rowText[3], "N/A");

    if (tcpServer) {
        setCell(rowText[4], "N/A");
        setCell(rowText[5], "N/A");
    } else {
        char peer[32] = {};
        setCell(rowText[4], peerText(peer));
        std::snprintf(rowText[5], kRowCellSize, "%d", remotePort());
    }
    if (tcp && !server)
        setCell(rowText[6], "N/A");
    else
        std::snprintf(rowText[6], kRowCellSize, "%d", localPort());

    if (net->bindFailed.load() != 0 && (!tcp || (server && open)))
        setCell(rowText[7], "Cannot listen");
    else if (!tcp || !open)
        setCell(rowText[7], "N/A");
    else if (connected)
        setCell(rowText[7], "Connected");
    else
        setCell(rowText[7], server ? "Listening" : "Disconnected");

    setCell(rowText[8], open ? "Open" : "Close");
    if (open) {
        std::snprintf(rowText[9], kRowCellSize, "%d", baudRate());
        std::snprintf(rowText[10], kRowCellSize, "%u", static_cast<unsigned>(dataBits()));
        // A value outside the known ones leaves whatever the cell showed before.
        if (const char* text = parityText(parity()))
            setCell(rowText[11], text);
        if (const char* text = stopBitsText(stopBits()))
            setCell(rowText[12], text);
        setCell(rowText[13], flowControlText(static_cast<std::uint32_t>(controlHandShake()),
                                             static_cast<std::uint32_t>(flowReplace())));
    } else {
        for (int cell = 9; cell <= 13; ++cell)
            setCell(rowText[cell], "N/A");
    }

    // The device server took the port's settings in band on this connection; a property of
    // the connection, so shown whether or not an application holds the port.
    if (isRfc2217() && net->comPortAgreed.load() == 1)
        setCell(rowText[14], "RFC 2217");
    else if (isRfc2217())
        // Its settings travel on the data connection or not at all: no second connection.
        setCell(rowText[14], !open ? "N/A" : connected ? "Disabled" : "Disconnected");
    else if (control->enabled.load() == 0)
        setCell(rowText[14], "Disabled");
    else if (!open)
        setCell(rowText[14], "N/A");
    else
        setCell(rowText[14], control->connected.load() != 0 && connected ? "Connected" : "Disconnected");
}
