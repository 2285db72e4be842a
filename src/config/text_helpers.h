#pragma once
// Conversions between user-typed text and bytes, shared by the device configuration dialog
// and the add-mapping checks: addresses, hexadecimal bytes and big-endian numbers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace config {

// What the address check returns for text that is no address.
inline constexpr const char* kInvalidAddress = "INVALID";
// What a failed hexadecimal conversion leaves in its caller's copy of the text.
inline constexpr const char* kConversionError = "error";
// Longer address text is refused: every caller's working storage is sized for this.
inline constexpr std::size_t kMaxAddressText = 49;

using AddressBytes = std::array<std::uint8_t, 4>;

// The address `text` names as four dotted decimal parts, or "INVALID". Digits and dots only
// (bytes from 0x7F up are not looked at); three dots: returned unchanged when each part,
// empty counting as 0, is at most 255; no dot: one decimal number whose four bytes, most
// significant first, make the address, refused when it is below 1, beyond the signed 32-bit
// range or ends in a 0 or 255 byte; one, two or more than three dots: "INVALID".
std::string checkAddressText(std::string_view text);

// The four parts of a checked three-dot address, each the low 8 bits of its decimal value.
// nullopt for text that is not four dot-separated parts or longer than the checked maximum.
std::optional<AddressBytes> addressBytes(std::string_view text);
// "%d.%d.%d.%d" of the bytes in order.
std::string addressText(const AddressBytes& bytes);

// Hexadecimal digits (either case) to a byte, keeping the low 8 bits ("1FF" gives 0xFF); the
// empty text gives 0. nullopt for any other character.
std::optional<std::uint8_t> hexByte(std::string_view text);
// The same in the configuration dialog's manner: on failure `text` becomes "error" and the
// result is 0, which the caller finds by testing its copy of the text.
std::uint8_t hexByteMarking(std::string& text);

// Bytes read most significant first, as an unsigned 32-bit number. Past four bytes only the
// last four count, as the higher ones overflow away.
std::uint32_t bigEndianValue(std::span<const std::uint8_t> bytes);

} // namespace config
