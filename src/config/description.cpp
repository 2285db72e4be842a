#include "config/description.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <pugixml.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "config/decimal_text.h"
#include "device/eeprom_access.h"
#include "platform/xdg.h"

namespace config {
namespace {

// The steps of the walk, in pixels.
constexpr int kStep = 25;
constexpr int kTitleLeft = 25;
constexpr int kItemLeft = 50;
constexpr int kControlLeft = 175;
constexpr int kTitlePoints = 11;
constexpr int kItemPoints = 10;
constexpr int kCheckWidth = 100;
constexpr int kDialogSize = 500;
constexpr int kButtonsLeft = 300;

std::string attribute(const pugi::xml_node& node, const char* name) {
    return node.attribute(name).value();
}

// A numeric attribute as atoi reads it, held inside the 32-bit range.
std::int32_t number(const pugi::xml_node& node, const char* name) {
    const std::int64_t value = decimalValue(attribute(node, name));
    constexpr std::int64_t low = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t high = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value < low ? low : value > high ? high : value);
}

// Both numbers are used as unsigned 16-bit values, so -1 is offset 65535.
bool liesInImage(std::int32_t start, std::int32_t length) {
    const auto first = static_cast<std::uint16_t>(start);
    const auto count = static_cast<std::uint16_t>(length);
    return std::size_t{first} + count <= kEepromImageSize;
}

struct Position {
    int line = 0;
    int column = 0;
};

Position positionOf(const std::string& text, std::ptrdiff_t offset) {
    if (offset < 0)
        return {};
    const std::size_t end = std::min(static_cast<std::size_t>(offset), text.size());
    Position at{1, 1};
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++at.line;
            at.column = 1;
        } else {
            ++at.column;
        }
    }
    return at;
}

std::string parsingError(const std::string& path, const std::string& description, Position at, bool wrongRoot) {
    const char* const format = "XML Parsing error inside file '%s'.\n%s\nAt line %i, column %i.\n%s%s%s";
    const char* const first = wrongRoot ? "First Tag should be '" : "";
    const char* const tag = wrongRoot ? "XML" : "";
    const char* const last = wrongRoot ? "'.\n" : "";
    const int size =
        std::snprintf(nullptr, 0, format, path.c_str(), description.c_str(), at.line, at.column, first, tag, last);
    std::string message(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(message.data(), message.size(), format, path.c_str(), description.c_str(), at.line, at.column, first,
                  tag, last);
    message.resize(static_cast<std::size_t>(size));
    return message;
}

// The walk's state between the levels.
class Walk {
public:
    Walk(ControlFactory& factory, std::vector<XMLGUI>& items, std::vector<std::string>& refusedFields)
        : m_factory(factory), m_items(items), m_refusedFields(refusedFields) {}

    void title(const pugi::xml_node& title) {
        m_newGroup = true;
        m_y += kStep;
        m_factory.caption(attribute(title, "name"), kTitleLeft, m_y, kTitlePoints, true);
        for (pugi::xml_node item = title.child("GUI_Itemname"); item; item = item.next_sibling("GUI_Itemname"))
            this->item(item);
    }

    void finish() {
        m_factory.setSize(kDialogSize, kDialogSize);
        m_factory.placeButtons(m_y + 2 * kStep, kButtonsLeft);
    }

private:
    void item(const pugi::xml_node& item) {
        m_newGroup = true;
        m_y += kStep;
        const std::string name = attribute(item, "name");
        m_factory.caption(name, kItemLeft, m_y, kItemPoints, true);

        XMLGUI record;
        record.rwStartIndex = number(item, "rwStartIndex");
        record.rwLength = number(item, "rwLength");
        record.caption = name;
        record.inImage = liesInImage(record.rwStartIndex, record.rwLength);
        bool refused = false;
        for (pugi::xml_node prest = item.child("GUI_Prest"); prest; prest = prest.next_sibling("GUI_Prest")) {
            record.type = attribute(prest, "type");
            // A field outside the image gets no control, so no pass can reach past the image
            // through it; the layout still moves as designed.
            if (!record.inImage && !refused) {
                m_refusedFields.push_back(name);
                refused = true;
            }
            if (record.type == "textfield")
                textField(prest, record);
            else if (record.type == "radio")
                radio(prest, record);
            else if (record.type == "combo")
                combo(prest, item, record);
            else if (record.type == "check")
                check(prest, record);
            m_y += kStep;
            m_items.push_back(record);
        }
    }

    void textField(const pugi::xml_node& prest, XMLGUI& record) {
        m_newGroup = true;
        record.datatype = attribute(prest, "datatype");
        if (!record.inImage) {
            m_y += kStep;
            record.control = nullptr;
            return;
        }
        const std::int32_t length = number(prest, "fieldLength");
        TextControl* edit = m_factory.editBox(length > 0 ? length : 0);
        m_y += kStep;
        if (const std::string pre = attribute(prest, "prelabel"); !pre.empty())
            m_factory.caption(pre, kItemLeft, m_y, 0, false);
        m_factory.placeEdit(edit, kControlLeft, m_y);
        record.control = edit;
        if (const std::string post = attribute(prest, "postlabel"); !post.empty())
            m_factory.caption(post, kControlLeft + edit->width() + kStep, m_y, 0, false);
    }

    void radio(const pugi::xml_node& prest, XMLGUI& record) {
        record.datatype = attribute(prest, "datatype");
        record.group = attribute(prest, "group");
        if (!record.inImage) {
            m_y += kStep;
            m_newGroup = false;
            record.control = nullptr;
            return;
        }
        if (m_newGroup || !m_group)
            m_group = m_factory.radioGroup();
        m_group->addButton(attribute(prest, "label"));
        m_y += kStep;
        if (m_newGroup)
            m_group->place(kControlLeft, m_y);
        m_group->setHeight(m_y - m_group->top());
        m_newGroup = false;
        record.control = m_group;
    }

    void combo(const pugi::xml_node& prest, const pugi::xml_node& item, XMLGUI& record) {
        m_newGroup = true;
        m_y += kStep;
        if (!record.inImage) {
            record.control = nullptr;
            return;
        }
        ComboControl* list = m_factory.comboBox(kControlLeft, m_y);
        record.control = list;
        list->clearEntries();
        // The datatype is the item's, and only an entry sets it: a combo without entries
        // keeps the one the previous child left.
        for (pugi::xml_node entry = prest.child("valueGroup"); entry; entry = entry.next_sibling("valueGroup")) {
            record.datatype = attribute(item, "datatype");
            list->addEntry(attribute(entry, "text"));
        }
    }

    void check(const pugi::xml_node& prest, XMLGUI& record) {
        m_newGroup = true;
        m_y += kStep;
        record.datatype = attribute(prest, "datatype");
        record.control =
            record.inImage ? m_factory.checkBox(attribute(prest, "label"), kControlLeft, m_y, kCheckWidth) : nullptr;
    }

    ControlFactory& m_factory;
    std::vector<XMLGUI>& m_items;
    std::vector<std::string>& m_refusedFields;
    int m_y = 0;
    bool m_newGroup = true;
    RadioGroupControl* m_group = nullptr;
};

bool isFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

LoadResult loadDescription(const std::string& path, ControlFactory& factory, std::vector<XMLGUI>& items) {
    // Read here rather than by the parser, so that its offsets give line and column.
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return failure(parsingError(path, std::string("File could not be opened: ") + std::strerror(errno), {}, false));
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        return failure(parsingError(path, "File could not be read.", {}, false));
    }
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(text.data(), text.size());
    if (!parsed) {
        return failure(parsingError(path, parsed.description(), positionOf(text, parsed.offset), false));
    }
    const pugi::xml_node root = document.document_element();
    if (std::strcmp(root.name(), "XML") != 0) {
        return failure(parsingError(path, std::string("The first element is '") + root.name() + "'.",
                                    positionOf(text, root.offset_debug()), true));
    }

    std::vector<std::string> refusedFields;
    Walk walk(factory, items, refusedFields);
    const pugi::xml_node info = root.child("_EE_Info");
    for (pugi::xml_node title = info.child("GUI_Title"); title; title = title.next_sibling("GUI_Title"))
        walk.title(title);
    walk.finish();
    return refusedFields;
}

std::string descriptionPath() {
    const std::string name = "/eeprom_GUI.xml";
    const std::string own = xdgConfigHome() + "/tarn" + name;
    if (isFile(own))
        return own;
    const std::string installed = std::string(TARN_DATA_DIR) + name;
    if (isFile(installed))
        return installed;
    const std::string source = std::string(TARN_SOURCE_DATA_DIR) + name;
    // With none present the installed place is named, as that is where it belongs.
    return isFile(source) ? source : installed;
}

} // namespace config
