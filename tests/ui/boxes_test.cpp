// The shared message box and progress box: geometry that follows the text, styles, plain
// text, and the progress box's refusal to close while busy. Also that every picture loads.

#include <QImageReader>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "ui/t_progress_bar_box.h"
#include "ui/t_small_box.h"

using namespace Qt::StringLiterals;

namespace {

// Box width rule: label left + label width + image width + right margin, never below 346.
int expectedWidth(const QLabel* label) {
    return std::max(346, label->x() + label->width() + 64 + 50);
}

int widestLine(const QLabel* label, const QString& text) {
    int widest = 0;
    for (const QString& line : text.split(u'\n'))
        widest = std::max(widest, label->fontMetrics().horizontalAdvance(line));
    return widest;
}

} // namespace

TEST(SmallBox, MessageSizesTheBoxAndANewOneReplacesIt) {
    TsmallBox box;
    const QString twoLines = u"Error: unable to access EEPROM.\nPlease check if EEPROM is valid."_s;
    box.showMessage(TsmallBox::Style::Error, twoLines);
    const QLabel* label = box.messageLabel();

    ASSERT_TRUE(box.isVisible());
    EXPECT_FALSE(box.isModal());
    EXPECT_EQ(box.windowTitle(), u"Error"_s);
    EXPECT_EQ(box.font().pointSize(), 8);
    const int lineSpacing = label->fontMetrics().lineSpacing();
    EXPECT_GE(label->height(), 2 * lineSpacing);
    EXPECT_LT(label->height(), 3 * lineSpacing);
    EXPECT_GE(label->width(), widestLine(label, twoLines));
    EXPECT_GT(box.width(), 346);
    EXPECT_EQ(box.width(), expectedWidth(label));
    EXPECT_EQ(box.minimumSize(), box.maximumSize()) << "the border is fixed";
    EXPECT_TRUE(box.okButton()->isVisible());
    EXPECT_LE(std::abs(2 * box.okButton()->x() + box.okButton()->width() - box.width()), 1);
    EXPECT_GT(box.okButton()->y(), label->geometry().bottom());
    EXPECT_FALSE(box.imageLabel()->pixmap().isNull());

    const int firstWidth = box.width();
    const QString longer = u"Error: the device did not answer the EEPROM write-complete request in time."_s;
    box.showMessage(TsmallBox::Style::Error, longer);
    EXPECT_EQ(label->text(), longer);
    EXPECT_GT(box.width(), firstWidth);
    EXPECT_EQ(box.width(), expectedWidth(label));
    EXPECT_LE(std::abs(2 * box.okButton()->x() + box.okButton()->width() - box.width()), 1);

    box.showMessage(TsmallBox::Style::Error, u"Done."_s);
    EXPECT_EQ(box.width(), 346);
    EXPECT_LE(std::abs(2 * box.okButton()->x() + box.okButton()->width() - 346), 1);
}

TEST(SmallBox, StylesSetCaptionAndButtonAndOkCloses) {
    TsmallBox box;
    box.showMessage(TsmallBox::Style::Processing, u"Searching devices..."_s);
    EXPECT_EQ(box.messageStyle(), TsmallBox::Style::Processing);
    EXPECT_EQ(box.windowTitle(), u"Currently Processing"_s);
    EXPECT_FALSE(box.okButton()->isVisible());
    EXPECT_FALSE(box.imageLabel()->pixmap().isNull());
    box.hide();

    // The button comes back after a processing note.
    box.showMessage(TsmallBox::Style::About, u"tarn"_s);
    EXPECT_EQ(box.windowTitle(), u"About"_s);
    EXPECT_TRUE(box.okButton()->isVisible());
    EXPECT_TRUE(box.okButton()->isDefault());

    QTest::mouseClick(box.okButton(), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !box.isVisible(); }, 5000));
}

TEST(SmallBox, TextFromADeviceIsShownLiterally) {
    TsmallBox box;
    box.showMessage(TsmallBox::Style::Error, u"<b>x</b>"_s);
    const QLabel* label = box.messageLabel();
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    // Interpreted as markup the label would only be as wide as a bold "x".
    EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(u"<b>x</b>"_s));

    box.showMessage(TsmallBox::Style::Error, u"first line\r\nsecond line"_s);
    EXPECT_GE(label->height(), 2 * label->fontMetrics().lineSpacing());
}

TEST(Artwork, EveryIconLoadsAtTheSizesItIsShownAt) {
    const char* names[] = {"web",     "config",    "search", "exit",      "remove_com",  "add_com",     "stop",
                           "factory", "hourglass", "app",    "tree_root", "tree_device", "tree_mapping"};
    for (const char* name : names) {
        const QString path = u":/icons/"_s + QLatin1StringView(name) + u".svg"_s;
        for (int size : {16, 32, 50}) {
            QImageReader reader(path);
            reader.setScaledSize(QSize(size, size));
            const QImage image = reader.read();
            ASSERT_FALSE(image.isNull()) << path.toStdString() << ": " << reader.errorString().toStdString();
            // A picture that drew nothing is as broken as one that failed to parse.
            EXPECT_GT(qAlpha(image.pixel(size / 2, size / 2)) + qAlpha(image.pixel(size / 4, size / 4)), 0)
                << path.toStdString();
        }
    }
}

TEST(ProgressBox, BusyWhileShownRefusesCloseAndHideResets) {
    TprogressBarBox box;
    EXPECT_FALSE(box.busy());
    EXPECT_EQ(box.windowTitle(), u"Progressing"_s);
    box.setCancelVisible(true);
    box.setPosition(40);

    box.show();
    EXPECT_TRUE(box.busy());
    EXPECT_FALSE(box.cancelButton()->isVisible());
    EXPECT_EQ(box.progressBar()->value(), 0);

    box.setPosition(30);
    EXPECT_FALSE(box.close());
    QTest::keyClick(&box, Qt::Key_Escape);
    box.reject();
    EXPECT_TRUE(box.isVisible());
    EXPECT_TRUE(box.busy());

    box.hide();
    EXPECT_FALSE(box.busy());
    EXPECT_EQ(box.progressBar()->value(), 0);

    // Once no longer busy, Escape closes it like any dialog.
    box.show();
    box.setBusy(false);
    QTest::keyClick(&box, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !box.isVisible(); }, 5000));
}

TEST(ProgressBox, CancelAsksToAbandonAndCloses) {
    TprogressBarBox box;
    QSignalSpy cancelled(&box, &TprogressBarBox::cancelRequested);
    box.show();
    box.setBusy(false);
    box.setCancelVisible(true);
    ASSERT_TRUE(box.cancelButton()->isVisible());

    QTest::mouseClick(box.cancelButton(), Qt::LeftButton);
    EXPECT_EQ(cancelled.count(), 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !box.isVisible(); }, 5000));
    EXPECT_FALSE(box.busy());

    // Cancel offered while the work still runs: the user's choice wins over busy.
    box.show();
    box.setCancelVisible(true);
    QTest::mouseClick(box.cancelButton(), Qt::LeftButton);
    EXPECT_EQ(cancelled.count(), 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !box.isVisible(); }, 5000));
}
