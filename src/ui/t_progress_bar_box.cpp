#include "ui/t_progress_bar_box.h"

#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>

using namespace Qt::StringLiterals;

namespace {

constexpr int kWidth = 469;
constexpr int kHeight = 109;
constexpr int kBarWidth = 415;
constexpr int kBarHeight = 31;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

} // namespace

TprogressBarBox::TprogressBarBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_progressBar(new QProgressBar(this)), m_cancelButton(new QPushButton(u"Cancel"_s, this)) {
    setWindowTitle(u"Progressing"_s);
    setFixedSize(kWidth, kHeight);

    m_progressBar->setObjectName(u"ProgressBar1"_s);
    m_progressBar->setGeometry((kWidth - kBarWidth) / 2, 16, kBarWidth, kBarHeight);
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);

    m_cancelButton->setObjectName(u"CancelButton"_s);
    m_cancelButton->setGeometry((kWidth - kButtonWidth) / 2, 62, kButtonWidth, kButtonHeight);
    m_cancelButton->hide();
    connect(m_cancelButton, &QPushButton::clicked, this, [this] {
        emit cancelRequested();
        // The user chose to abandon the work, so the box goes even if the work never ended.
        m_busy = false;
        close();
    });
}

void TprogressBarBox::setCancelVisible(bool visible) {
    m_cancelButton->setVisible(visible);
}

void TprogressBarBox::setMaximum(int maximum) {
    m_progressBar->setMaximum(maximum);
}

void TprogressBarBox::setPosition(int position) {
    m_progressBar->setValue(position);
}

// Escape and the title bar's close button both end here (QDialog::closeEvent calls reject and
// keeps the box open when it is still visible afterwards).
void TprogressBarBox::reject() {
    if (m_busy)
        return;
    QDialog::reject();
}

void TprogressBarBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The window system un-minimising the box is not a new piece of work.
    if (event->spontaneous())
        return;
    m_cancelButton->hide();
    m_progressBar->setValue(0);
    m_busy = true;
    if (const QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
}

void TprogressBarBox::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    // Minimising sends a spontaneous hide; the work goes on.
    if (event->spontaneous())
        return;
    m_progressBar->setValue(0);
    m_busy = false;
}
