#include "ui/t_small_box.h"

#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

constexpr int kMinWidth = 346;
constexpr int kMinHeight = 146;
constexpr int kImageSize = 64;
constexpr int kRightMargin = 50;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;
constexpr int kButtonTop = 108;
constexpr int kBottomMargin = kMinHeight - kButtonTop - kButtonHeight;
constexpr int kLabelToButtonGap = 10;

struct StyleLook {
    QString caption;
    QString picture;
    bool hasOk;
};

StyleLook lookOf(TsmallBox::Style style) {
    switch (style) {
    case TsmallBox::Style::Error:
        return {u"Error"_s, u":/icons/stop.svg"_s, true};
    case TsmallBox::Style::About:
        return {u"About"_s, u":/icons/factory.svg"_s, true};
    case TsmallBox::Style::Processing:
        return {u"Currently Processing"_s, u":/icons/hourglass.svg"_s, false};
    }
    Q_UNREACHABLE();
}

} // namespace

TsmallBox::TsmallBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_imageLabel(new QLabel(this)), m_messageLabel(new QLabel(this)), m_okButton(new QPushButton(u"OK"_s, this)) {
    QFont small = QApplication::font();
    small.setPointSize(8);
    setFont(small);
    setModal(false);
    setFixedSize(kMinWidth, kMinHeight);

    m_imageLabel->setObjectName(u"Image1"_s);
    m_imageLabel->setGeometry(20, 30, kImageSize, kImageSize);

    m_messageLabel->setObjectName(u"Label1"_s);
    m_messageLabel->setTextFormat(Qt::PlainText);
    m_messageLabel->setWordWrap(false);
    m_messageLabel->move(104, 21);

    m_okButton->setObjectName(u"OKButton"_s);
    m_okButton->setDefault(true);
    m_okButton->setGeometry((kMinWidth - kButtonWidth) / 2, kButtonTop, kButtonWidth, kButtonHeight);
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);
}

void TsmallBox::showMessage(Style style, const QString& text) {
    const StyleLook look = lookOf(style);
    m_style = style;

    m_imageLabel->setPixmap(QIcon(look.picture).pixmap(QSize(kImageSize, kImageSize), devicePixelRatioF()));
    // Text from a device may end its lines with CR LF or CR; a label breaks lines only on LF.
    QString plain = text;
    plain.replace(u"\r\n"_s, u"\n"_s).replace(u'\r', u'\n');
    m_messageLabel->setText(plain);
    m_messageLabel->adjustSize();
    setWindowTitle(look.caption);

    const int width = std::max(kMinWidth, m_messageLabel->x() + m_messageLabel->width() + kImageSize + kRightMargin);
    // A long message grows the box downwards rather than running under the button.
    const int buttonTop = std::max(kButtonTop, m_messageLabel->geometry().bottom() + 1 + kLabelToButtonGap);
    setFixedSize(width, buttonTop + kButtonHeight + kBottomMargin);
    m_okButton->move((width - kButtonWidth) / 2, buttonTop);
    m_okButton->setVisible(look.hasOk);

    show();
    raise();
    activateWindow();
}
