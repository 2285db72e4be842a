#include "config/text_form.h"

#include <algorithm>
#include <charconv>
#include <strings.h>

namespace config {
namespace {

class TextEdit : public TextControl {
public:
    explicit TextEdit(int maxLength) : m_maxLength(maxLength) {}
    std::string text() const override { return m_text; }
    void setText(const std::string& text) override { m_text = text; }
    int width() const override { return 120; }
    void setMasked(bool masked) override { m_masked = masked; }
    int maxLength() const { return m_maxLength; }
    bool masked() const { return m_masked; }

private:
    std::string m_text;
    int m_maxLength;
    bool m_masked = false;
};

class RadioGroup : public RadioGroupControl {
public:
    void addButton(const std::string& caption) override { m_buttons.push_back(caption); }
    int buttonCount() const override { return static_cast<int>(m_buttons.size()); }
    std::string buttonCaption(int button) const override {
        return button >= 0 && button < buttonCount() ? m_buttons[static_cast<std::size_t>(button)] : std::string();
    }
    void place(int, int top) override { m_top = top; }
    int top() const override { return m_top; }
    void setHeight(int) override {}
    int selected() const override { return m_selected; }
    void select(int button) override { m_selected = button >= 0 && button < buttonCount() ? button : -1; }

private:
    std::vector<std::string> m_buttons;
    int m_top = 0;
    int m_selected = -1;
};

class Combo : public ComboControl {
public:
    void clearEntries() override {
        m_entries.clear();
        m_selected = -1;
    }
    void addEntry(const std::string& text) override { m_entries.push_back(text); }
    int entryCount() const override { return static_cast<int>(m_entries.size()); }
    std::string entryText(int entry) const override {
        return entry >= 0 && entry < entryCount() ? m_entries[static_cast<std::size_t>(entry)] : std::string();
    }
    int selected() const override { return m_selected; }
    void select(int entry) override { m_selected = entry >= 0 && entry < entryCount() ? entry : -1; }
    void closeList() override {}

private:
    std::vector<std::string> m_entries;
    int m_selected = -1;
};

class Check : public CheckControl {
public:
    explicit Check(std::string caption) : m_caption(std::move(caption)) {}
    bool checked() const override { return m_checked; }
    void setChecked(bool checked) override { m_checked = checked; }
    std::string caption() const override { return m_caption; }

private:
    std::string m_caption;
    bool m_checked = false;
};

constexpr const char* kNone = "(none)";

// The position of `value` among `count` choices: a choice's text (exactly, then ignoring
// case), else a number from 0; -1 when neither.
template <typename TextOf> int choiceOf(const std::string& value, int count, TextOf textOf) {
    for (int k = 0; k < count; ++k)
        if (textOf(k) == value)
            return k;
    for (int k = 0; k < count; ++k)
        if (strcasecmp(textOf(k).c_str(), value.c_str()) == 0)
            return k;
    int position = -1;
    const auto [end, failure] = std::from_chars(value.data(), value.data() + value.size(), position);
    if (value.empty() || failure != std::errc() || end != value.data() + value.size() || position < 0 ||
        position >= count)
        return -1;
    return position;
}

template <typename TextOf> std::string choicesText(int count, TextOf textOf) {
    std::string text;
    for (int k = 0; k < count; ++k)
        text += (k ? ", \"" : "\"") + textOf(k) + "\"";
    return text;
}

} // namespace

LoadResult TextForm::load(const std::string& path) {
    LoadResult result = loadDescription(path, *this, m_items);
    if (result)
        listFields();
    return result;
}

void TextForm::listFields() {
    auto add = [this](std::string name, Kind kind, Control* control, const XMLGUI& item) {
        const std::string base = name;
        for (int n = 2; std::any_of(m_fields.begin(), m_fields.end(), [&](const Entry& e) { return e.name == name; });
             ++n)
            name = base + "/" + std::to_string(n);
        m_fields.push_back({std::move(name), kind, control, item.datatype, item.group});
    };
    // The same steps through the records as the codecs take.
    for (std::size_t i = 0; i < m_items.size();) {
        const XMLGUI& item = m_items[i];
        const bool usable = item.inImage && item.control;
        if (item.type == "radio") {
            std::string group = item.group;
            std::size_t j = i + 1;
            for (; j < m_items.size() && m_items[j].type == "radio"; ++j) {
                if (group.empty())
                    group = m_items[j].group;
                else if (m_items[j].group != group)
                    break;
            }
            if (usable)
                add(item.caption, Kind::Radio, item.control, item);
            i = j;
        } else if (item.type == "check" && item.datatype == "delimiter") {
            for (std::size_t box = i; box < i + 3 && box < m_items.size(); ++box) {
                auto* check = m_items[box].inImage ? dynamic_cast<CheckControl*>(m_items[box].control) : nullptr;
                if (check)
                    add(item.caption + "/" + check->caption(), Kind::Check, check, item);
            }
            i += 3;
        } else {
            if (usable && item.type == "textfield")
                add(item.caption, Kind::Text, item.control, item);
            else if (usable && item.type == "combo")
                add(item.caption, Kind::Combo, item.control, item);
            else if (usable && item.type == "check")
                add(item.caption, Kind::Check, item.control, item);
            ++i;
        }
    }
}

std::vector<TextForm::Field> TextForm::fields() const {
    std::vector<Field> shown;
    for (const Entry& entry : m_fields) {
        std::string value;
        switch (entry.kind) {
        case Kind::Text: {
            const auto& edit = static_cast<const TextEdit&>(*entry.control);
            value = edit.masked() ? "****" : edit.text();
            break;
        }
        case Kind::Radio: {
            const auto& group = static_cast<const RadioGroup&>(*entry.control);
            value = group.selected() < 0 ? kNone : group.buttonCaption(group.selected());
            break;
        }
        case Kind::Combo: {
            const auto& list = static_cast<const Combo&>(*entry.control);
            value = list.selected() < 0 ? kNone : list.entryText(list.selected());
            break;
        }
        case Kind::Check:
            value = static_cast<const Check&>(*entry.control).checked() ? "on" : "off";
            break;
        }
        shown.push_back({entry.name, std::move(value)});
    }
    return shown;
}

RadioGroupControl* TextForm::groupNamed(const std::string& group) const {
    for (const XMLGUI& item : m_items)
        if (item.type == "radio" && item.group == group && item.inImage && item.control)
            return static_cast<RadioGroupControl*>(item.control);
    return nullptr;
}

std::string TextForm::set(const std::string& name, const std::string& value) {
    const auto entry = std::find_if(m_fields.begin(), m_fields.end(), [&](const Entry& e) { return e.name == name; });
    if (entry == m_fields.end())
        return "no field is named \"" + name + "\"";
    switch (entry->kind) {
    case Kind::Text: {
        auto& edit = static_cast<TextEdit&>(*entry->control);
        if (edit.maxLength() > 0 && value.size() > static_cast<std::size_t>(edit.maxLength()))
            return "\"" + name + "\" takes at most " + std::to_string(edit.maxLength()) + " characters";
        edit.setText(value);
        return {};
    }
    case Kind::Radio: {
        auto& group = static_cast<RadioGroup&>(*entry->control);
        const auto textOf = [&group](int k) { return group.buttonCaption(k); };
        const int button = choiceOf(value, group.buttonCount(), textOf);
        if (button < 0)
            return "\"" + value + "\" is no choice of \"" + name + "\" (" + choicesText(group.buttonCount(), textOf) +
                   ")";
        group.select(button);
        RadioGroupControl* other = nullptr;
        if (entry->group == "tcpMode" && button >= 1)
            other = groupNamed("udpMode");
        else if (entry->group == "udpMode" && button == 1)
            other = groupNamed("tcpMode");
        if (other)
            other->select(0);
        return {};
    }
    case Kind::Combo: {
        auto& list = static_cast<Combo&>(*entry->control);
        const auto textOf = [&list](int k) { return list.entryText(k); };
        const int choice = choiceOf(value, list.entryCount(), textOf);
        if (choice < 0)
            return "\"" + value + "\" is no choice of \"" + name + "\" (" + choicesText(list.entryCount(), textOf) +
                   ")";
        list.select(choice);
        return {};
    }
    case Kind::Check: {
        auto& box = static_cast<Check&>(*entry->control);
        if (value == "on" || value == "1")
            box.setChecked(true);
        else if (value == "off" || value == "0")
            box.setChecked(false);
        else
            return "\"" + name + "\" takes on, off, 1 or 0, not \"" + value + "\"";
        return {};
    }
    }
    return {};
}

template <typename Made> Made* TextForm::own(std::unique_ptr<Made> control) {
    Made* made = control.get();
    m_controls.push_back(std::move(control));
    return made;
}

void TextForm::caption(const std::string&, int, int, int, bool) {}

TextControl* TextForm::editBox(int maxLength) {
    return own(std::make_unique<TextEdit>(maxLength));
}

void TextForm::placeEdit(TextControl*, int, int) {}

RadioGroupControl* TextForm::radioGroup() {
    return own(std::make_unique<RadioGroup>());
}

ComboControl* TextForm::comboBox(int, int) {
    return own(std::make_unique<Combo>());
}

CheckControl* TextForm::checkBox(const std::string& caption, int, int, int) {
    return own(std::make_unique<Check>(caption));
}

void TextForm::setSize(int, int) {}

void TextForm::placeButtons(int, int) {}

} // namespace config
