#pragma once
// The configuration dialog's description (eeprom_GUI.xml): the controls it asks a front end
// for, the record each control leaves in the item list, and the loader that lays them out.
// The window's dialog and the text front end of tarnctl implement the same factory, so the
// layout and the codecs are one piece of code for both.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/result.h"

namespace config {

// A control a description asks for. Only its kind matters to the codecs.
class Control {
public:
    virtual ~Control() = default;
};

class TextControl : public Control {
public:
    virtual std::string text() const = 0;
    virtual void setText(const std::string& text) = 0;
    // Pixels, for the caption placed after it.
    virtual int width() const = 0;
    // Shows each character as "*" (password fields).
    virtual void setMasked(bool masked) = 0;
};

class RadioGroupControl : public Control {
public:
    virtual void addButton(const std::string& caption) = 0;
    virtual int buttonCount() const = 0;
    virtual std::string buttonCaption(int button) const = 0;
    virtual void place(int left, int top) = 0;
    virtual int top() const = 0;
    virtual void setHeight(int height) = 0;
    // -1: none selected.
    virtual int selected() const = 0;
    virtual void select(int button) = 0;
};

class ComboControl : public Control {
public:
    virtual void clearEntries() = 0;
    virtual void addEntry(const std::string& text) = 0;
    virtual int entryCount() const = 0;
    virtual std::string entryText(int entry) const = 0;
    // -1: none selected.
    virtual int selected() const = 0;
    virtual void select(int entry) = 0;
    // Closes the drop-down list if it is open.
    virtual void closeList() = 0;
};

class CheckControl : public Control {
public:
    virtual bool checked() const = 0;
    virtual void setChecked(bool checked) = 0;
    virtual std::string caption() const = 0;
};

// What the loader asks of a front end. Positions are pixels in the dialog's scroll area.
// Controls are owned by the front end and live as long as it does.
class ControlFactory {
public:
    virtual ~ControlFactory() = default;
    // pointSize 0: the dialog's normal font.
    virtual void caption(const std::string& text, int left, int top, int pointSize, bool bold) = 0;
    // maxLength 0: no limit. Placed later with placeEdit, once the caption's row is known.
    virtual TextControl* editBox(int maxLength) = 0;
    virtual void placeEdit(TextControl* edit, int left, int top) = 0;
    virtual RadioGroupControl* radioGroup() = 0;
    virtual ComboControl* comboBox(int left, int top) = 0;
    virtual CheckControl* checkBox(const std::string& caption, int left, int top, int width) = 0;
    // After the walk: the dialog's size and its OK and Cancel buttons (Cancel 100 to the right).
    virtual void setSize(int width, int height) = 0;
    virtual void placeButtons(int top, int left) = 0;
};

// One control of the description, in document order.
struct XMLGUI {
    std::string type;     // "textfield", "radio", "combo", "check", or anything (ignored)
    std::string datatype; // the codec
    std::int32_t rwStartIndex = 0;
    std::int32_t rwLength = 0;
    std::string group; // a radio's group ("tcpMode", "udpMode" link the two mode groups)
    Control* control = nullptr;
    // The enclosing item's name: how a refused value or tarnctl names the field.
    std::string caption;
    // The item's bytes lie inside the 2048-byte image; a field outside it gets no control.
    bool inImage = true;
};

// The captions of the fields refused for lying outside the image (once each), or the
// parser's complete message ("XML Parsing error inside file '%s'. ...").
using LoadResult = Result<std::vector<std::string>, std::string>;

// Walks the description once, asking `factory` for the controls and filling `items`.
LoadResult loadDescription(const std::string& path, ControlFactory& factory, std::vector<XMLGUI>& items);

// Where the description is: $XDG_CONFIG_HOME/tarn/eeprom_GUI.xml if present, else the
// installed data file, else the source tree's data/ (a build tree).
std::string descriptionPath();

} // namespace config
