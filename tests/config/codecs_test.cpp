// The three passes between the image and the controls, through the text form's controls
// loaded from a real description: each datatype's fill and collect, the shared mode byte, the
// delimiter triple, and that a refused value names its field and leaves the image whole.

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "config/codecs.h"
#include "config/text_form.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const kDescription = R"(<XML><_EE_Info><GUI_Title name="All">
  <GUI_Itemname name="IP" rwStartIndex="0" rwLength="4"><GUI_Prest type="textfield" datatype="ip"/></GUI_Itemname>
  <GUI_Itemname name="Hex" rwStartIndex="4" rwLength="1">
    <GUI_Prest type="textfield" datatype="u8_t_delimiter"/></GUI_Itemname>
  <GUI_Itemname name="Deci" rwStartIndex="5" rwLength="1">
    <GUI_Prest type="textfield" datatype="deci_delimiter"/></GUI_Itemname>
  <GUI_Itemname name="Timeout" rwStartIndex="6" rwLength="2">
    <GUI_Prest type="textfield" datatype="sc_timeout"/></GUI_Itemname>
  <GUI_Itemname name="Port" rwStartIndex="8" rwLength="2">
    <GUI_Prest type="textfield" datatype="port"/></GUI_Itemname>
  <GUI_Itemname name="Parity" rwStartIndex="10" rwLength="1" datatype="parity"><GUI_Prest type="combo">
    <valueGroup text="None"/><valueGroup text="Odd"/><valueGroup text="Even"/><valueGroup text="Space"/>
    <valueGroup text="Mark"/></GUI_Prest></GUI_Itemname>
  <GUI_Itemname name="Baud" rwStartIndex="11" rwLength="1"><GUI_Prest type="combo">
    <valueGroup text="a"/><valueGroup text="b"/><valueGroup text="c"/></GUI_Prest></GUI_Itemname>
  <GUI_Itemname name="Mode" rwStartIndex="12" rwLength="1">
    <GUI_Prest type="radio" datatype="tcpradio" group="tcpMode" label="TCP Server"/>
    <GUI_Prest type="radio" datatype="tcpradio" group="tcpMode" label="TCP Client"/></GUI_Itemname>
  <GUI_Itemname name="Transport" rwStartIndex="12" rwLength="1">
    <GUI_Prest type="radio" datatype="udpradio" group="udpMode" label="TCP"/>
    <GUI_Prest type="radio" datatype="udpradio" group="udpMode" label="UDP"/></GUI_Itemname>
  <GUI_Itemname name="Level" rwStartIndex="13" rwLength="1">
    <GUI_Prest type="radio" label="L0"/><GUI_Prest type="radio" label="L1"/><GUI_Prest type="radio" label="L2"/>
  </GUI_Itemname>
  <GUI_Itemname name="Packing" rwStartIndex="14" rwLength="1">
    <GUI_Prest type="check" datatype="delimiter" label="D1"/>
    <GUI_Prest type="check" datatype="delimiter" label="D2"/>
    <GUI_Prest type="check" datatype="delimiter" label="T"/></GUI_Itemname>
  <GUI_Itemname name="Flag" rwStartIndex="15" rwLength="1"><GUI_Prest type="check" label="on"/></GUI_Itemname>
  <GUI_Itemname name="Name" rwStartIndex="16" rwLength="8">
    <GUI_Prest type="textfield" fieldLength="8"/></GUI_Itemname>
  <GUI_Itemname name="Secret" rwStartIndex="24" rwLength="4">
    <GUI_Prest type="textfield" datatype="password"/></GUI_Itemname>
</GUI_Title></_EE_Info></XML>)";

// Bytes every field gives back unchanged through fill and collect.
const Bytes kBase = {0x0A, 0x00, 0x00, 0x05, 0x0D, 0x10, 0x00, 0x05, 0x0F, 0xA1, 0x08, 0x01, 0x00, 0x01,
                     0x02, 0x01, 'd',  'e',  'v',  0,    0,    0,    0,    0,    'p',  'w',  0,    0};

class CodecsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.path().empty());
        std::ofstream(m_dir.file("eeprom_GUI.xml")) << kDescription;
        const auto loaded = form.load(m_dir.file("eeprom_GUI.xml"));
        ASSERT_TRUE(loaded) << loaded.error();
        image.fill(0xEE);
        put(0, kBase);
    }

    void put(std::size_t offset, const Bytes& bytes) { std::copy(bytes.begin(), bytes.end(), image.begin() + offset); }
    Bytes at(std::size_t offset, std::size_t count) const {
        return Bytes(image.begin() + offset, image.begin() + offset + count);
    }
    void refill() {
        config::clearControls(form.items());
        config::fillControls(form.items(), image);
    }
    std::string shown(const std::string& name) const {
        for (const auto& field : form.fields())
            if (field.name == name)
                return field.value;
        return "<no field " + name + ">";
    }

    testsupport::TempDir m_dir{"codecs-test"};
    config::TextForm form;
    EepromImage image{};
};

TEST_F(CodecsTest, FillShowsEachDatatype) {
    struct Case {
        std::size_t offset;
        Bytes bytes;
        std::string field;
        std::string expected;
    };
    const Case cases[] = {
        {0, {0xC0, 0xA8, 0x01, 0x0A}, "IP", "192.168.1.10"},
        {4, {0x0A}, "Hex", "0A"},
        {4, {0xFF}, "Hex", "FF"},
        {5, {0xFF}, "Deci", "255"},
        {6, {0x00, 0x63}, "Timeout", "99"},
        {6, {0x00, 0xC8}, "Timeout", "200"},
        {6, {0xFF, 0xFF}, "Timeout", "65535"},
        {8, {0x0F, 0xA1}, "Port", "4001"},
        {10, {0x28}, "Parity", "Mark"},
        {10, {0x38}, "Parity", "Space"},
        {10, {0x10}, "Parity", "None"},
        {11, {0x02}, "Baud", "c"},
        {11, {0x03}, "Baud", "(none)"},
        {11, {0xFF}, "Baud", "(none)"},
        {12, {0x03}, "Mode", "TCP Server"},
        {12, {0x03}, "Transport", "UDP"},
        {12, {0x01}, "Mode", "TCP Client"},
        {12, {0x01}, "Transport", "TCP"},
        {12, {0x07}, "Mode", "(none)"}, // no rule: left as cleared
        {13, {0x09}, "Level", "L2"},    // beyond the last button: the last
        {13, {0xFF}, "Level", "(none)"},
        {13, {0xFE}, "Level", "(none)"},
        {14, {0x05}, "Packing/D1", "on"},
        {14, {0x05}, "Packing/D2", "off"},
        {14, {0x05}, "Packing/T", "on"},
        {15, {0x07}, "Flag", "on"},
        {15, {0x00}, "Flag", "off"},
        {16, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}, "Name", "ABCDEFGH"}, // no NUL: exactly 8
        {16, {'A', 'B', 0, 'D'}, "Name", "AB"},
        {24, {'p', 'w', 0, 0}, "Secret", "****"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field + " " + std::to_string(c.offset) + ": " + c.expected);
        put(0, kBase);
        put(c.offset, c.bytes);
        refill();
        EXPECT_EQ(shown(c.field), c.expected);
    }
    // The password's control holds the real text; only its showing is masked.
    put(0, kBase);
    refill();
    const auto& items = form.items();
    EXPECT_EQ(dynamic_cast<config::TextControl&>(*items.back().control).text(), "pw");
}

TEST_F(CodecsTest, CollectWritesAcceptedValuesAndRefusesTheRest) {
    struct Case {
        std::string field;
        std::string value;
        std::size_t offset;
        Bytes expected; // empty: refused
    };
    const Case cases[] = {
        {"IP", "192.168.1.10", 0, {0xC0, 0xA8, 0x01, 0x0A}},
        {"IP", "1..2.3", 0, {0x01, 0x00, 0x02, 0x03}},
        {"IP", "167772161", 0, {0x0A, 0x00, 0x00, 0x01}}, // 10.0.0.1 as one number
        {"IP", "192.168.1.300", 0, {}},
        {"IP", "256", 0, {}},
        {"IP", "99999999999", 0, {}},
        {"IP", "10.1", 0, {}},
        {"Hex", "ff", 4, {0xFF}},
        {"Hex", "0A", 4, {0x0A}},
        {"Hex", "", 4, {0x00}},
        {"Hex", "1g", 4, {}},
        {"Deci", "255", 5, {0xFF}},
        {"Deci", "1", 5, {0x01}},
        {"Deci", "0", 5, {}},
        {"Deci", "256", 5, {}},
        {"Timeout", "99", 6, {0x00, 0x63}},
        {"Timeout", "", 6, {0x00, 0x00}},
        {"Timeout", "100", 6, {}},
        {"Timeout", "200", 6, {}},
        {"Timeout", "-1", 6, {}},
        {"Port", "4002", 8, {0x0F, 0xA2}},
        {"Port", "49151", 8, {0xBF, 0xFF}},
        {"Port", "49152", 8, {}},
        {"Port", "0", 8, {}},
        {"Port", "", 8, {}},
        {"Parity", "Mark", 10, {0x28}},
        {"Parity", "Space", 10, {0x38}},
        {"Parity", "None", 10, {0x00}},
        {"Baud", "c", 11, {0x02}},
        {"Level", "L2", 13, {0x02}},
        {"Flag", "off", 15, {0x00}},
        {"Packing/D1", "on", 14, {0x03}},
        {"Packing/D2", "0", 14, {0x00}},
        {"Name", "ABCDEFGH", 16, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}}, // no room for a NUL
        {"Name", "x", 16, {'x', 0, 0, 0, 0, 0, 0, 0}},
        {"Secret", "abcd", 24, {'a', 'b', 'c', 'd'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field + " = \"" + c.value + "\"");
        put(0, kBase);
        refill();
        const EepromImage before = image;
        ASSERT_EQ(form.set(c.field, c.value), "");
        const config::CollectResult result = config::collectControls(form.items(), image);
        if (c.expected.empty()) {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error(), std::vector<std::string>{c.field});
            EXPECT_EQ(image, before) << "a refused value writes nothing at all";
            continue;
        }
        EXPECT_TRUE(result.ok());
        EepromImage expected = before;
        std::copy(c.expected.begin(), c.expected.end(), expected.begin() + c.offset);
        EXPECT_EQ(image, expected);
    }
}

TEST_F(CodecsTest, RefusedValuesAreNamedOnceInOrderAndUnchangedOnesPass) {
    put(8, {0x00, 0x00}); // port 0: "none", which the port rule would refuse
    put(6, {0x00, 0xC8}); // a time-out of 200, beyond the rule's 99
    refill();
    EXPECT_EQ(shown("Port"), "0");
    EepromImage before = image;
    // Unedited: every field keeps its bytes, nothing is refused.
    auto result = config::collectControls(form.items(), image);
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(image, before);

    ASSERT_EQ(form.set("Name", "new"), "");
    ASSERT_EQ(form.set("Port", "70000"), "");
    ASSERT_EQ(form.set("IP", "1.2.3.999"), "");
    ASSERT_EQ(form.set("Hex", "zz"), "");
    result = config::collectControls(form.items(), image);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), (std::vector<std::string>{"IP", "Hex", "Port"}));
    EXPECT_EQ(image, before) << "the accepted name is not written either";
}

TEST_F(CodecsTest, ModeGroupsShareOneByte) {
    struct Case {
        std::uint8_t byte;
        std::vector<std::pair<std::string, std::string>> sets;
        std::uint8_t written;
    };
    const Case cases[] = {
        {0x03, {}, 0x03}, // the TCP group writes 0, then the UDP group 3
        {0x00, {}, 0x00},
        {0x02, {}, 0xFF}, // no third TCP button: 2 selects none, which writes -1
        {0x03, {{"Mode", "TCP Client"}}, 0x01},
        {0x01, {{"Transport", "UDP"}}, 0x03},
        {0x01, {{"Transport", "udp"}, {"Mode", "1"}}, 0x01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.byte));
        put(0, kBase);
        put(12, {c.byte});
        refill();
        for (const auto& [name, value] : c.sets)
            ASSERT_EQ(form.set(name, value), "");
        ASSERT_TRUE(config::collectControls(form.items(), image).ok());
        EXPECT_EQ(image[12], c.written);
    }
}

TEST_F(CodecsTest, ClearEmptiesTextChecksAndRadiosButNotCombos) {
    put(0, kBase);
    put(14, {0x07});
    refill();
    config::clearControls(form.items());
    for (const auto& field : form.fields()) {
        SCOPED_TRACE(field.name);
        if (field.name == "Parity")
            EXPECT_EQ(field.value, "Odd");
        else if (field.name == "Baud")
            EXPECT_EQ(field.value, "b");
        else if (field.name == "Secret")
            EXPECT_EQ(field.value, "****");
        else if (field.name.rfind("Packing", 0) == 0 || field.name == "Flag")
            EXPECT_EQ(field.value, "off");
        else if (field.name == "Mode" || field.name == "Transport" || field.name == "Level")
            EXPECT_EQ(field.value, "(none)");
        else
            EXPECT_EQ(field.value, "");
    }
}

TEST_F(CodecsTest, SetNamesItsMistakes) {
    struct Case {
        std::string field;
        std::string value;
        std::string error;
    };
    const Case cases[] = {
        {"Nope", "1", "no field is named \"Nope\""},
        {"Baud", "d", "\"d\" is no choice of \"Baud\" (\"a\", \"b\", \"c\")"},
        {"Baud", "3", "\"3\" is no choice of \"Baud\" (\"a\", \"b\", \"c\")"},
        {"Level", "-1", "\"-1\" is no choice of \"Level\" (\"L0\", \"L1\", \"L2\")"},
        {"Flag", "yes", "\"Flag\" takes on, off, 1 or 0, not \"yes\""},
        {"Name", "ABCDEFGHI", "\"Name\" takes at most 8 characters"},
        {"Packing", "on", "no field is named \"Packing\""},
    };
    refill();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        EXPECT_EQ(form.set(c.field, c.value), c.error);
    }
    // Text before position, exactly before ignoring case.
    EXPECT_EQ(form.set("Baud", "1"), "");
    EXPECT_EQ(shown("Baud"), "b");
    EXPECT_EQ(form.set("Mode", "tcp client"), "");
    EXPECT_EQ(shown("Mode"), "TCP Client");
}

TEST(CodecsBounds, RecordsReachingPastTheImageAreSkipped) {
    config::TextForm controls;
    config::TextControl* edit = controls.editBox(0);
    config::CheckControl* box = controls.checkBox("b", 0, 0, 0);
    std::vector<config::XMLGUI> items(2);
    items[0].type = "textfield";
    items[0].rwStartIndex = 2046;
    items[0].rwLength = 4;
    items[0].control = edit;
    items[1].type = "check";
    items[1].rwStartIndex = -1;
    items[1].rwLength = 1;
    items[1].control = box;
    EepromImage image{};
    image.fill(0x41);
    edit->setText("untouched");
    config::fillControls(items, image);
    EXPECT_EQ(edit->text(), "untouched");
    EXPECT_FALSE(box->checked());
    edit->setText("zzzz");
    box->setChecked(true);
    const EepromImage before = image;
    EXPECT_TRUE(config::collectControls(items, image).ok());
    EXPECT_EQ(image, before);
}

} // namespace
