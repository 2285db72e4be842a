// The description loader over real files, through a factory that records what a window would
// be asked to show: the walk's positions, the radio grouping, the record reuse, refused fields
// and the parser's messages. Also our own eeprom_GUI.xml.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "config/codecs.h"
#include "config/description.h"
#include "config/text_form.h"
#include "support/temp_dir.h"

namespace {

using config::XMLGUI;

struct Placed {
    std::string text;
    int left = -1;
    int top = -1;
    int pointSize = 0;
    bool bold = false;
};

class FakeEdit : public config::TextControl {
public:
    explicit FakeEdit(int maxLength) : maxLength(maxLength) {}
    std::string text() const override { return {}; }
    void setText(const std::string&) override {}
    int width() const override { return 80; }
    void setMasked(bool) override {}
    int maxLength;
    int left = -1;
    int top = -1;
};

class FakeGroup : public config::RadioGroupControl {
public:
    void addButton(const std::string& caption) override { buttons.push_back(caption); }
    int buttonCount() const override { return static_cast<int>(buttons.size()); }
    std::string buttonCaption(int button) const override { return buttons.at(static_cast<std::size_t>(button)); }
    void place(int l, int t) override {
        left = l;
        topPx = t;
    }
    int top() const override { return topPx; }
    void setHeight(int h) override { height = h; }
    int selected() const override { return -1; }
    void select(int) override {}
    std::vector<std::string> buttons;
    int left = -1;
    int topPx = 0;
    int height = -1;
};

class FakeCombo : public config::ComboControl {
public:
    FakeCombo(int l, int t) : left(l), top(t) {}
    void clearEntries() override { entries.clear(); }
    void addEntry(const std::string& text) override { entries.push_back(text); }
    int entryCount() const override { return static_cast<int>(entries.size()); }
    std::string entryText(int entry) const override { return entries.at(static_cast<std::size_t>(entry)); }
    int selected() const override { return -1; }
    void select(int) override {}
    void closeList() override {}
    std::vector<std::string> entries;
    int left;
    int top;
};

class FakeCheck : public config::CheckControl {
public:
    FakeCheck(std::string c, int l, int t, int w) : label(std::move(c)), left(l), top(t), width(w) {}
    bool checked() const override { return false; }
    void setChecked(bool) override {}
    std::string caption() const override { return label; }
    std::string label;
    int left;
    int top;
    int width;
};

// A window that cannot exist here: it keeps every request.
class RecordingFactory : public config::ControlFactory {
public:
    void caption(const std::string& text, int left, int top, int pointSize, bool bold) override {
        captions.push_back({text, left, top, pointSize, bold});
    }
    config::TextControl* editBox(int maxLength) override { return keep(edits, maxLength); }
    void placeEdit(config::TextControl* edit, int left, int top) override {
        auto* fake = dynamic_cast<FakeEdit*>(edit);
        ASSERT_NE(fake, nullptr);
        fake->left = left;
        fake->top = top;
    }
    config::RadioGroupControl* radioGroup() override { return keep(groups); }
    config::ComboControl* comboBox(int left, int top) override { return keep(combos, left, top); }
    config::CheckControl* checkBox(const std::string& caption, int left, int top, int width) override {
        return keep(checks, caption, left, top, width);
    }
    void setSize(int w, int h) override {
        width = w;
        height = h;
    }
    void placeButtons(int top, int left) override {
        buttonsTop = top;
        buttonsLeft = left;
    }

    std::vector<Placed> captions;
    std::vector<std::unique_ptr<FakeEdit>> edits;
    std::vector<std::unique_ptr<FakeGroup>> groups;
    std::vector<std::unique_ptr<FakeCombo>> combos;
    std::vector<std::unique_ptr<FakeCheck>> checks;
    int width = -1, height = -1, buttonsTop = -1, buttonsLeft = -1;

private:
    template <typename T, typename... Args> T* keep(std::vector<std::unique_ptr<T>>& list, Args&&... args) {
        list.push_back(std::make_unique<T>(std::forward<Args>(args)...));
        return list.back().get();
    }
};

class DescriptionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_dir.path().empty()); }

    std::string write(const std::string& text, const std::string& name = "eeprom_GUI.xml") {
        const std::string path = m_dir.file(name);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // The body inside <XML><_EE_Info>...</_EE_Info></XML>.
    config::LoadResult load(const std::string& body) {
        return config::loadDescription(write("<XML><_EE_Info>" + body + "</_EE_Info></XML>"), factory, items);
    }

    testsupport::TempDir m_dir{"description-test"};
    RecordingFactory factory;
    std::vector<XMLGUI> items;
};

TEST_F(DescriptionTest, OneTitleItemAndTextFieldPlacesTheButtonsAt150) {
    const auto result = load(R"(<GUI_Title name="Net" count="9"><GUI_Itemname name="IP" rwStartIndex="32" rwLength="4">
        <GUI_Prest type="textfield" datatype="ip"/></GUI_Itemname></GUI_Title>)");
    ASSERT_TRUE(result) << result.error();
    EXPECT_TRUE(result.value().empty());
    ASSERT_EQ(factory.captions.size(), 2u);
    EXPECT_EQ(factory.captions[0].text, "Net");
    EXPECT_EQ(factory.captions[0].left, 25);
    EXPECT_EQ(factory.captions[0].top, 25);
    EXPECT_EQ(factory.captions[0].pointSize, 11);
    EXPECT_TRUE(factory.captions[0].bold);
    EXPECT_EQ(factory.captions[1].text, "IP");
    EXPECT_EQ(factory.captions[1].left, 50);
    EXPECT_EQ(factory.captions[1].top, 50);
    EXPECT_EQ(factory.captions[1].pointSize, 10);
    ASSERT_EQ(factory.edits.size(), 1u);
    EXPECT_EQ(factory.edits[0]->left, 175);
    EXPECT_EQ(factory.edits[0]->top, 75);
    EXPECT_EQ(factory.width, 500);
    EXPECT_EQ(factory.height, 500);
    EXPECT_EQ(factory.buttonsTop, 150);
    EXPECT_EQ(factory.buttonsLeft, 300);

    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].type, "textfield");
    EXPECT_EQ(items[0].datatype, "ip");
    EXPECT_EQ(items[0].rwStartIndex, 32);
    EXPECT_EQ(items[0].rwLength, 4);
    EXPECT_EQ(items[0].caption, "IP");
    EXPECT_EQ(items[0].control, factory.edits[0].get());
}

TEST_F(DescriptionTest, TextFieldLabelsLimitsAndSteps) {
    const auto result = load(R"(<GUI_Title name="T"><GUI_Itemname name="I" rwStartIndex="0" rwLength="8">
        <GUI_Prest type="textfield" fieldLength="0"/>
        <GUI_Prest type="textfield"/>
        <GUI_Prest type="textfield" fieldLength="15" prelabel="Before" postlabel="after"/>
        <GUI_Prest type="textfield" fieldLength="-4"/>
        </GUI_Itemname></GUI_Title>)");
    ASSERT_TRUE(result) << result.error();
    ASSERT_EQ(factory.edits.size(), 4u);
    const int maxLengths[] = {0, 0, 15, 0};
    for (std::size_t k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(factory.edits[k]->maxLength, maxLengths[k]);
        // Without labels the next control is still 50 pixels lower.
        EXPECT_EQ(factory.edits[k]->top, 75 + 50 * static_cast<int>(k));
    }
    // Title, item, then only the third field's two labels, in the normal font.
    ASSERT_EQ(factory.captions.size(), 4u);
    EXPECT_EQ(factory.captions[2].text, "Before");
    EXPECT_EQ(factory.captions[2].left, 50);
    EXPECT_EQ(factory.captions[2].top, 175);
    EXPECT_EQ(factory.captions[2].pointSize, 0);
    EXPECT_FALSE(factory.captions[2].bold);
    EXPECT_EQ(factory.captions[3].text, "after");
    EXPECT_EQ(factory.captions[3].left, 175 + 80 + 25);
    EXPECT_EQ(factory.captions[3].top, 175);
    EXPECT_EQ(factory.buttonsTop, 50 + 4 * 50 + 50);
}

TEST_F(DescriptionTest, RadioButtonsOfOneItemShareAGroupUntilAnotherControl) {
    const auto result = load(R"(<GUI_Title name="T">
        <GUI_Itemname name="Mode" rwStartIndex="192" rwLength="1">
          <GUI_Prest type="radio" datatype="tcpradio" group="tcpMode" label="Server"/>
          <GUI_Prest type="radio" datatype="tcpradio" group="tcpMode" label="Client"/>
        </GUI_Itemname>
        <GUI_Itemname name="Split" rwStartIndex="5" rwLength="1">
          <GUI_Prest type="radio" label="A"/>
          <GUI_Prest type="check" label="box"/>
          <GUI_Prest type="radio" label="B"/>
          <GUI_Prest type="unknown"/>
          <GUI_Prest type="radio" label="C"/>
        </GUI_Itemname></GUI_Title>)");
    ASSERT_TRUE(result) << result.error();
    ASSERT_EQ(factory.groups.size(), 3u);
    const FakeGroup& mode = *factory.groups[0];
    EXPECT_EQ(mode.buttons, (std::vector<std::string>{"Server", "Client"}));
    EXPECT_EQ(mode.left, 175);
    EXPECT_EQ(mode.topPx, 75);
    EXPECT_EQ(mode.height, 50);
    ASSERT_GE(items.size(), 2u);
    for (int k : {0, 1}) {
        EXPECT_EQ(items[k].control, &mode);
        EXPECT_EQ(items[k].group, "tcpMode");
        EXPECT_EQ(items[k].datatype, "tcpradio");
        EXPECT_EQ(items[k].rwStartIndex, 192);
        EXPECT_EQ(items[k].rwLength, 1);
    }
    // A check splits the item's radios; an unknown type in between does not.
    EXPECT_EQ(factory.groups[1]->buttons, std::vector<std::string>{"A"});
    EXPECT_EQ(factory.groups[1]->height, 0);
    EXPECT_EQ(factory.groups[2]->buttons, (std::vector<std::string>{"B", "C"}));
    EXPECT_EQ(factory.groups[2]->height, 75) << "25 more for the unknown child between the buttons";
    ASSERT_EQ(items.size(), 7u);
    EXPECT_EQ(items[5].type, "unknown");
    EXPECT_EQ(items[5].control, factory.groups[2].get()) << "an unknown child keeps the previous control";
}

TEST_F(DescriptionTest, ComboTakesItsItemsDatatypeOnlyWithEntries) {
    const auto result = load(R"(<GUI_Title name="T"><GUI_Itemname name="Parity" rwStartIndex="162" rwLength="1"
            datatype="parity">
          <GUI_Prest type="combo" datatype="ignored"/>
          <GUI_Prest type="combo" datatype="ignored"><valueGroup text="None"/><valueGroup text="Odd"/></GUI_Prest>
          <GUI_Prest type="check" datatype="delimiter" label="x"/>
          <GUI_Prest type="combo"/>
          <GUI_Prest type="strange"/>
        </GUI_Itemname></GUI_Title>)");
    ASSERT_TRUE(result) << result.error();
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0].datatype, "") << "no entries: the first child's datatype stays empty";
    EXPECT_EQ(items[1].datatype, "parity");
    EXPECT_EQ(items[2].datatype, "delimiter");
    EXPECT_EQ(items[3].datatype, "delimiter") << "no entries: the previous child's datatype stays";
    EXPECT_EQ(items[4].type, "strange");
    EXPECT_EQ(items[4].control, items[3].control);
    ASSERT_EQ(factory.combos.size(), 3u);
    EXPECT_EQ(factory.combos[1]->entries, (std::vector<std::string>{"None", "Odd"}));
    EXPECT_EQ(factory.combos[0]->left, 175);
    EXPECT_EQ(factory.combos[0]->top, 75);
    EXPECT_EQ(factory.combos[1]->top, 125);
    ASSERT_EQ(factory.checks.size(), 1u);
    EXPECT_EQ(factory.checks[0]->top, 175);
    EXPECT_EQ(factory.checks[0]->left, 175);
    EXPECT_EQ(factory.checks[0]->width, 100);
    // Four known children at 50 each and the unknown one at 25.
    EXPECT_EQ(factory.buttonsTop, 50 + 4 * 50 + 25 + 50);
}

TEST_F(DescriptionTest, AttributesAndNamesAsRead) {
    // Only the first _EE_Info; element names case-sensitive; numbers from leading digits.
    const std::string path = write(R"(<XML><_EE_Info><GUI_Title name="One">
          <GUI_Itemname name="N" rwStartIndex=" 12abc" rwLength="+3">
            <GUI_Prest type="textfield"/><gui_prest type="textfield"/></GUI_Itemname>
          <GUI_Itemname><GUI_Prest type="Textfield"/></GUI_Itemname>
          <gui_itemname name="lower"><GUI_Prest type="textfield"/></gui_itemname>
        </GUI_Title></_EE_Info><_EE_Info><GUI_Title name="Two"/></_EE_Info></XML>)");
    const auto result = config::loadDescription(path, factory, items);
    ASSERT_TRUE(result) << result.error();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].rwStartIndex, 12);
    EXPECT_EQ(items[0].rwLength, 3);
    EXPECT_EQ(items[1].caption, "");
    EXPECT_EQ(items[1].rwStartIndex, 0);
    EXPECT_EQ(items[1].type, "Textfield");
    EXPECT_EQ(items[1].control, nullptr);
    EXPECT_EQ(factory.captions.size(), 3u) << "title One, items N and (empty)";
}

TEST_F(DescriptionTest, FieldOutsideTheImageGetsNoControlAndIsNamedOnce) {
    const auto result = load(R"(<GUI_Title name="T">
        <GUI_Itemname name="Last byte" rwStartIndex="2047" rwLength="1"><GUI_Prest type="check"/></GUI_Itemname>
        <GUI_Itemname name="Past the end" rwStartIndex="2047" rwLength="2">
          <GUI_Prest type="radio" label="a"/><GUI_Prest type="radio" label="b"/></GUI_Itemname>
        <GUI_Itemname name="Negative" rwStartIndex="-1" rwLength="1"><GUI_Prest type="textfield"/></GUI_Itemname>
        <GUI_Itemname name="Huge" rwStartIndex="0" rwLength="4096">
          <GUI_Prest type="combo"><valueGroup text="x"/></GUI_Prest></GUI_Itemname>
        <GUI_Itemname name="Empty" rwStartIndex="2048" rwLength="0"><GUI_Prest type="textfield"/></GUI_Itemname>
        </GUI_Title>)");
    ASSERT_TRUE(result) << result.error();
    EXPECT_EQ(result.value(), (std::vector<std::string>{"Past the end", "Negative", "Huge"}));
    EXPECT_EQ(factory.groups.size(), 0u);
    EXPECT_EQ(factory.combos.size(), 0u);
    EXPECT_EQ(factory.checks.size(), 1u);
    EXPECT_EQ(factory.edits.size(), 1u) << "a field of no bytes at the end still lies inside";
    ASSERT_EQ(items.size(), 6u);
    for (std::size_t k = 1; k <= 4; ++k) {
        EXPECT_FALSE(items[k].inImage) << k;
        EXPECT_EQ(items[k].control, nullptr) << k;
    }
    EXPECT_TRUE(items[5].inImage);
    // The layout moves as if the controls were there.
    EXPECT_EQ(factory.buttonsTop, 25 + 5 * 25 + 6 * 50 + 50);
}

TEST_F(DescriptionTest, ParserFailuresGiveTheFullMessage) {
    struct Case {
        const char* name;
        std::string text;
        std::string detail; // what follows the path
    };
    const Case cases[] = {
        {"wrong root", "<?xml version=\"1.0\"?>\n<Xml>\n</Xml>\n",
         "The first element is 'Xml'.\nAt line 2, column 2.\nFirst Tag should be 'XML'.\n"},
        {"unclosed", "<XML>\n  <_EE_Info>\n</XML>\n", "Start-end tags mismatch\nAt line 3, column 3.\n"},
        {"empty", "", "No document element found\nAt line 1, column 1.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingFactory fresh;
        std::vector<XMLGUI> none;
        const std::string path = write(c.text, std::string(c.name) + ".xml");
        const auto result = config::loadDescription(path, fresh, none);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), "XML Parsing error inside file '" + path + "'.\n" + c.detail);
        EXPECT_TRUE(none.empty());
        EXPECT_EQ(fresh.buttonsTop, -1) << "nothing is laid out";
    }
    RecordingFactory fresh;
    std::vector<XMLGUI> none;
    const auto missing = config::loadDescription(m_dir.file("absent.xml"), fresh, none);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().rfind("XML Parsing error inside file '" + m_dir.path() + "/absent.xml'.\n", 0), 0u)
        << missing.error();
}

TEST_F(DescriptionTest, EmptyLevelsLeaveOnlyTheButtons) {
    for (const std::string body :
         {"<XML/>", "<XML><_EE_Info/></XML>", "<XML><_EE_Info><GUI_Title/></_EE_Info></XML>"}) {
        SCOPED_TRACE(body);
        RecordingFactory fresh;
        std::vector<XMLGUI> none;
        ASSERT_TRUE(config::loadDescription(write(body), fresh, none));
        EXPECT_TRUE(none.empty());
        EXPECT_EQ(fresh.width, 500);
        EXPECT_EQ(fresh.buttonsTop, body.find("GUI_Title") == std::string::npos ? 50 : 75);
    }
}

TEST_F(DescriptionTest, OurDescriptionLoadsWholeWithEveryField) {
    const std::string path = TARN_SOURCE_DIR "/data/eeprom_GUI.xml";
    config::TextForm form;
    const auto result = form.load(path);
    ASSERT_TRUE(result) << result.error();
    EXPECT_TRUE(result.value().empty());
    std::vector<std::string> names;
    for (const auto& field : form.fields())
        names.push_back(field.name);
    const std::vector<std::string> expected = {
        "IP address",          "Subnet mask",         "Gateway",          "Device name", "Project name",
        "Baud rate",           "Data bits",           "Parity",           "Stop bits",   "Flow control",
        "Packing/Delimiter 1", "Packing/Delimiter 2", "Packing/Time-out", "Delimiter 1", "Delimiter 2",
        "Packing length",      "Character time-out",  "TCP mode",         "Transport",   "Local port",
        "Remote port",         "Remote IP",           "Control port",     "Account",     "Password",
        "Control password"};
    EXPECT_EQ(names, expected);
    // The two mode groups share the working-mode byte, the UDP group after the TCP group.
    std::vector<std::string> modeGroups;
    for (const XMLGUI& item : form.items())
        if (item.type == "radio") {
            EXPECT_EQ(item.rwStartIndex, 0xC0);
            modeGroups.push_back(item.datatype + ":" + item.group);
        }
    EXPECT_EQ(modeGroups, (std::vector<std::string>{"tcpradio:tcpMode", "tcpradio:tcpMode", "tcpradio:tcpMode",
                                                    "udpradio:udpMode", "udpradio:udpMode"}));

    // The reserved working mode 2 has a button of its own, so it is written back as it was.
    EepromImage image{};
    image[0xC0] = 2;
    config::fillControls(form.items(), image);
    image[0xC0] = 0x55;
    EXPECT_TRUE(config::collectControls(form.items(), image).ok());
    EXPECT_EQ(image[0xC0], 2);
}

TEST(DescriptionPath, ConfigFolderFirstThenTheSourceTree) {
    testsupport::TempDir folder("description-home");
    ASSERT_FALSE(folder.path().empty());
    const std::string home = folder.pointEnv("XDG_CONFIG_HOME");
    // A build tree that is not installed finds the source tree's file.
    EXPECT_EQ(config::descriptionPath(), TARN_SOURCE_DIR "/data/eeprom_GUI.xml");
    std::filesystem::create_directories(home + "/tarn");
    std::ofstream(home + "/tarn/eeprom_GUI.xml") << "<XML/>";
    EXPECT_EQ(config::descriptionPath(), home + "/tarn/eeprom_GUI.xml");
}

} // namespace
