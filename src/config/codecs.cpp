#include "config/codecs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>

#include "config/decimal_text.h"
#include "config/text_helpers.h"

namespace config {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The record's bytes in the image, or nullopt for a field with no control or outside it. The
// loader refuses such fields already; checked again here as records can be made by hand.
std::optional<std::span<const std::uint8_t>> fieldOf(const XMLGUI& item, const EepromImage& image) {
    if (!item.inImage || !item.control)
        return std::nullopt;
    const auto start = static_cast<std::uint16_t>(item.rwStartIndex);
    const auto length = static_cast<std::uint16_t>(item.rwLength);
    if (std::size_t{start} + length > image.size())
        return std::nullopt;
    return std::span<const std::uint8_t>(image.data() + start, length);
}

std::uint8_t firstByte(std::span<const std::uint8_t> field) {
    return field.empty() ? 0 : field[0];
}

std::string printed(const char* format, auto value) {
    char text[16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The field's bytes up to the first NUL.
std::string fieldText(std::span<const std::uint8_t> field) {
    const auto nul = std::find(field.begin(), field.end(), std::uint8_t{0});
    return std::string(field.begin(), nul);
}

// What Fill shows in a text field for these bytes.
std::string shownText(const std::string& datatype, std::span<const std::uint8_t> field) {
    if (datatype == "ip") {
        AddressBytes bytes{};
        std::copy_n(field.begin(), std::min<std::size_t>(field.size(), bytes.size()), bytes.begin());
        return addressText(bytes);
    }
    if (datatype == "u8_t_delimiter")
        return printed("%02X", unsigned{firstByte(field)});
    if (datatype == "deci_delimiter")
        return printed("%d", static_cast<std::int32_t>(bigEndianValue(field)));
    if (datatype == "sc_timeout" || datatype == "port")
        return printed("%u", bigEndianValue(field));
    return fieldText(field);
}

// The number in `length` bytes, most significant first.
Bytes bigEndianBytes(std::int64_t value, std::size_t length) {
    Bytes bytes(length);
    for (std::size_t k = length; k-- > 0; value >>= 8)
        bytes[k] = static_cast<std::uint8_t>(value & 0xFF);
    return bytes;
}

// The bytes a text field's text stands for, or nullopt when the rules refuse it.
std::optional<Bytes> textValue(const std::string& datatype, const std::string& text, std::size_t length) {
    if (datatype == "ip") {
        const std::string checked = checkAddressText(text);
        if (checked == kInvalidAddress)
            return std::nullopt;
        const auto bytes = addressBytes(checked);
        if (!bytes)
            return std::nullopt;
        return Bytes(bytes->begin(), bytes->end());
    }
    if (datatype == "u8_t_delimiter") {
        const auto byte = hexByte(text);
        if (!byte)
            return std::nullopt;
        return Bytes{*byte};
    }
    if (datatype == "deci_delimiter") {
        const std::int64_t value = decimalValue(text);
        if (value < 1 || value > 255)
            return std::nullopt;
        return Bytes{static_cast<std::uint8_t>(value)};
    }
    if (datatype == "sc_timeout" || datatype == "port") {
        const std::int64_t value = decimalValue(text);
        const bool accepted = datatype == "port" ? value >= 1 && value <= 0xBFFF : value >= 0 && value <= 99;
        if (!accepted)
            return std::nullopt;
        return bigEndianBytes(value, length);
    }
    Bytes bytes(length, 0);
    std::copy_n(text.begin(), std::min(text.size(), length), bytes.begin());
    return bytes;
}

// One past the last record of the radio run that starts at `i`.
std::size_t radioRunEnd(const std::vector<XMLGUI>& items, std::size_t i) {
    std::string name = items[i].group;
    std::size_t j = i + 1;
    for (; j < items.size() && items[j].type == "radio"; ++j) {
        if (name.empty())
            name = items[j].group;
        else if (items[j].group != name)
            break;
    }
    return j;
}

template <typename Kind> Kind* controlAt(const std::vector<XMLGUI>& items, std::size_t i) {
    return i < items.size() && items[i].inImage ? dynamic_cast<Kind*>(items[i].control) : nullptr;
}

constexpr std::size_t kDelimiterBoxes = 3;

int parityEntry(std::uint8_t byte) {
    switch (byte) {
    case 0x08:
        return 1;
    case 0x18:
        return 2;
    case 0x38:
        return 3;
    case 0x28:
        return 4;
    default:
        return 0;
    }
}

std::uint8_t parityByte(int entry) {
    static constexpr std::uint8_t kBytes[] = {0x00, 0x08, 0x18, 0x38, 0x28};
    return entry >= 0 && entry < 5 ? kBytes[entry] : 0x00;
}

void fillRadio(const XMLGUI& item, RadioGroupControl& group, std::uint8_t byte) {
    if (item.datatype == "tcpradio") {
        if (byte == 0 || byte == 3)
            group.select(0);
        else if (byte <= 2)
            group.select(byte);
        return;
    }
    if (item.datatype == "udpradio") {
        group.select(byte == 3 ? 1 : 0);
        return;
    }
    const int position = static_cast<std::int8_t>(byte);
    group.select(std::clamp(position, -1, std::max(group.buttonCount() - 1, -1)));
}

} // namespace

void clearControls(const std::vector<XMLGUI>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        const XMLGUI& item = items[i];
        if (item.type == "textfield") {
            if (auto* edit = controlAt<TextControl>(items, i))
                edit->setText({});
        } else if (item.type == "check") {
            if (auto* box = controlAt<CheckControl>(items, i))
                box->setChecked(false);
        } else if (item.type == "radio") {
            if (auto* group = controlAt<RadioGroupControl>(items, i))
                group->select(-1);
        }
    }
}

void fillControls(const std::vector<XMLGUI>& items, const EepromImage& image) {
    for (std::size_t i = 0; i < items.size();) {
        const XMLGUI& item = items[i];
        const auto field = fieldOf(item, image);
        if (item.type == "radio") {
            const std::size_t end = radioRunEnd(items, i);
            if (auto* group = controlAt<RadioGroupControl>(items, i); group && field)
                fillRadio(item, *group, firstByte(*field));
            i = end;
            continue;
        }
        if (item.type == "check" && item.datatype == "delimiter") {
            if (field) {
                const std::uint8_t byte = firstByte(*field);
                for (std::size_t box = 0; box < kDelimiterBoxes; ++box) {
                    auto* check = controlAt<CheckControl>(items, i + box);
                    if (check && ((byte >> box) & 1) != 0)
                        check->setChecked(true);
                }
            }
            i += kDelimiterBoxes;
            continue;
        }
        if (field) {
            if (item.type == "textfield") {
                if (auto* edit = controlAt<TextControl>(items, i)) {
                    edit->setMasked(item.datatype == "password");
                    edit->setText(shownText(item.datatype, *field));
                }
            } else if (item.type == "combo") {
                if (auto* list = controlAt<ComboControl>(items, i)) {
                    const int entry = item.datatype == "parity" ? parityEntry(firstByte(*field))
                                                                : static_cast<std::int8_t>(firstByte(*field));
                    list->select(entry >= 0 && entry < list->entryCount() ? entry : -1);
                }
            } else if (item.type == "check") {
                if (auto* box = controlAt<CheckControl>(items, i); box && firstByte(*field) != 0)
                    box->setChecked(true);
            }
        }
        ++i;
    }
}

CollectResult collectControls(const std::vector<XMLGUI>& items, EepromImage& image) {
    std::vector<std::string> refused;
    // Worked on a copy: one refused value keeps the whole image as it was.
    EepromImage collected = image;
    auto write = [&collected](const XMLGUI& item, const Bytes& value) {
        const auto field = fieldOf(item, collected);
        if (field)
            std::copy_n(value.begin(), std::min(value.size(), field->size()),
                        collected.begin() + (field->data() - collected.data()));
    };
    auto refuse = [&refused](const std::string& caption) {
        if (std::find(refused.begin(), refused.end(), caption) == refused.end())
            refused.push_back(caption);
    };

    for (std::size_t i = 0; i < items.size();) {
        const XMLGUI& item = items[i];
        const auto field = fieldOf(item, image);
        if (item.type == "radio") {
            const std::size_t end = radioRunEnd(items, i);
            if (auto* group = controlAt<RadioGroupControl>(items, i); group && field) {
                const int position = group->selected();
                if (item.datatype != "udpradio")
                    write(item, {static_cast<std::uint8_t>(position)});
                else if (position == 1)
                    write(item, {3});
            }
            i = end;
            continue;
        }
        if (item.type == "check" && item.datatype == "delimiter") {
            if (field) {
                std::uint8_t byte = 0;
                for (std::size_t box = 0; box < kDelimiterBoxes; ++box) {
                    if (auto* check = controlAt<CheckControl>(items, i + box); check && check->checked())
                        byte = static_cast<std::uint8_t>(byte | 1u << box);
                }
                write(item, {byte});
            }
            i += kDelimiterBoxes;
            continue;
        }
        if (field) {
            if (item.type == "textfield") {
                if (auto* edit = controlAt<TextControl>(items, i)) {
                    const std::string text = edit->text();
                    if (const auto value = textValue(item.datatype, text, field->size()))
                        write(item, *value);
                    // A refused text that the field's own bytes show (a port 0 meaning "none")
                    // keeps those bytes as they are; only a new value is refused.
                    else if (text != shownText(item.datatype, *field))
                        refuse(item.caption);
                }
            } else if (item.type == "combo") {
                if (auto* list = controlAt<ComboControl>(items, i)) {
                    const int entry = list->selected();
                    write(item, {item.datatype == "parity" ? parityByte(entry) : static_cast<std::uint8_t>(entry)});
                }
            } else if (item.type == "check") {
                if (auto* box = controlAt<CheckControl>(items, i))
                    write(item, {static_cast<std::uint8_t>(box->checked() ? 1 : 0)});
            }
        }
        ++i;
    }
    if (!refused.empty())
        return failure(std::move(refused));
    image = collected;
    return {};
}

} // namespace config
