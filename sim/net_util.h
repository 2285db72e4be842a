#pragma once
// Socket helpers shared by the simulator's endpoints.

#include <cstdint>
#include <netinet/in.h>
#include <string>

#include "text_util.h"
#include "unique_fd.h"

namespace devsim {

sockaddr_in socketAddress(const Ipv4& ip, std::uint16_t port);
sockaddr_in socketAddress(std::uint32_t hostOrderIp, std::uint16_t port);
std::string endpointText(const sockaddr_in& address);

// A non-blocking TCP socket listening on ip:port (address reuse on); empty with `error` set.
UniqueFd listenTcp(const Ipv4& ip, std::uint16_t port, std::string& error);
// A non-blocking UDP socket bound to ip:port.
UniqueFd bindUdp(const Ipv4& ip, std::uint16_t port, bool reuseAddress, std::string& error);

} // namespace devsim
