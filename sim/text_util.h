#pragma once
// Small text helpers of the simulator: its line output, hex dumps and parsing of numbers,
// addresses and hex byte lists.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

// Writes one line to standard output and flushes it, so a reader on a pipe sees every event
// as it happens.
void emitLine(const std::string& line);
void emitError(const std::string& line);

std::string hexBytes(const std::uint8_t* data, std::size_t size);
std::string hexBytes(const std::vector<std::uint8_t>& data);

// Accepts tokens such as "11", "0x11" or "1130" (pairs of digits); nullopt on any bad token.
std::optional<std::vector<std::uint8_t>> parseHexTokens(const std::vector<std::string>& tokens);

// Decimal, or hexadecimal with a 0x prefix; the whole text must be a number up to `max`.
std::optional<std::uint32_t> parseNumber(std::string_view text, std::uint32_t max);

using Ipv4 = std::array<std::uint8_t, 4>;
using MacAddress = std::array<std::uint8_t, 6>;

std::optional<Ipv4> parseIpv4(std::string_view text);
std::string ipText(const Ipv4& ip);
std::uint32_t ipValue(const Ipv4& ip); // host order
Ipv4 ipFromValue(std::uint32_t value);
std::optional<MacAddress> parseMac(std::string_view text);
std::string macText(const MacAddress& mac);

std::vector<std::string> splitWords(std::string_view text);
std::vector<std::string> splitOn(std::string_view text, char separator);

} // namespace devsim
