#pragma once
// The configuration dialog without a window: in-memory controls that the description's
// loader lays out and the codecs fill and collect, plus each field as a name and a value
// text for the command line (tarnctl config show / set).
//
// Field names: the item's caption; each box of a "delimiter" triple is "<caption>/<label>"
// (its own label); a name that an earlier field already has gets "/2", "/3", ... appended.
// A radio run is one field (its value the selected button's caption), as is a combo box
// (the entry's text) and a check box ("on" or "off"). Passwords show as "****".

#include <memory>
#include <string>
#include <vector>

#include "config/description.h"

namespace config {

class TextForm : public ControlFactory {
public:
    // Loads the description into this form's controls and item list (once per form).
    LoadResult load(const std::string& path);
    const std::vector<XMLGUI>& items() const { return m_items; }

    struct Field {
        std::string name;
        std::string value;
    };
    // Every field with its shown value, in description order.
    std::vector<Field> fields() const;

    // Changes the named field's control as a user would: text fields take the text (at most
    // their length limit); radio runs a button's caption or position from 0; combo boxes an
    // entry's text or position from 0; check boxes on/off/1/0. Text is matched before
    // position, exactly before ignoring case. Choosing TCP Client (or a later TCP button) in
    // the "tcpMode" group switches the "udpMode" group to its first button, and UDP there
    // switches the TCP group to its first, as the dialog's linked groups do.
    // Returns the reason when nothing was changed, empty when done.
    std::string set(const std::string& name, const std::string& value);

    // ControlFactory
    void caption(const std::string& text, int left, int top, int pointSize, bool bold) override;
    TextControl* editBox(int maxLength) override;
    void placeEdit(TextControl* edit, int left, int top) override;
    RadioGroupControl* radioGroup() override;
    ComboControl* comboBox(int left, int top) override;
    CheckControl* checkBox(const std::string& caption, int left, int top, int width) override;
    void setSize(int width, int height) override;
    void placeButtons(int top, int left) override;

private:
    enum class Kind { Text, Radio, Combo, Check };
    struct Entry {
        std::string name;
        Kind kind;
        Control* control;
        std::string datatype;
        std::string group;
    };
    void listFields();
    RadioGroupControl* groupNamed(const std::string& group) const;
    template <typename Made> Made* own(std::unique_ptr<Made> control);

    std::vector<std::unique_ptr<Control>> m_controls;
    std::vector<XMLGUI> m_items;
    std::vector<Entry> m_fields;
};

} // namespace config
