#include "core/command_protocol.h"

#include "bridge/tvs_port_ax.h"

namespace core {

std::string controlSocketPath() {
    return portDirectory() + "/tarn.sock";
}

std::string escapeField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (const char c : field) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::optional<std::string> unescapeField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
            continue;
        }
        if (++i == field.size())
            return std::nullopt;
        switch (field[i]) {
        case '\\':
            out += '\\';
            break;
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

std::string joinLine(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += '\t';
        line += escapeField(fields[i]);
    }
    line += '\n';
    return line;
}

std::optional<std::vector<std::string>> splitLine(std::string_view line) {
    // Hand-typed requests through a terminal tool may end in CR LF.
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find('\t', start);
        const std::string_view raw = line.substr(start, end == std::string_view::npos ? line.npos : end - start);
        for (const char c : raw) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return std::nullopt;
        }
        auto field = unescapeField(raw);
        if (!field)
            return std::nullopt;
        fields.push_back(std::move(*field));
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return fields;
}

} // namespace core
