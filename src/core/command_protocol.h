#pragma once
// The line format of the running program's control channel, shared by the program and by
// tarnctl: a line is fields joined by one TAB and ended by LF; inside a field a backslash
// escapes itself, TAB, LF and CR (\\ \t \n \r), so a message with line breaks stays one line.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace core {

// The longest request line the program reads; a longer one is refused whole.
inline constexpr std::size_t kMaxControlLine = 4096;

// `<port dir>/tarn.sock` ($XDG_RUNTIME_DIR/tarn, else /tmp/tarn-<uid>); nothing is created.
std::string controlSocketPath();

// The mapping page's columns, in the order of a mapping row's cells.
inline constexpr std::array<const char*, 15> kMappingColumnNames = {
    "No",          "COM Port",   "TCP/UDP",    "Server/Client", "IP Address",
    "Remote Port", "Local Port", "NET Status", "COM Status",    "Baudrate",
    "Databits",    "Parity",     "Stop Bits",  "Flow Control",  "Control Port Connection"};

std::string escapeField(std::string_view field);
// Nothing for an unknown escape or a lone backslash at the end.
std::optional<std::string> unescapeField(std::string_view field);

// The fields escaped and joined, with the line's LF.
std::string joinLine(const std::vector<std::string>& fields);
// A line without its LF (a CR before it is dropped too). Nothing when an escape is wrong or
// the line holds another control byte than TAB, such as a NUL.
std::optional<std::vector<std::string>> splitLine(std::string_view line);

} // namespace core
