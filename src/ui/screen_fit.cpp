#include "ui/screen_fit.h"

#include <QScreen>
#include <QWidget>

namespace ui {

void fitToScreen(QWidget& window) {
    const QScreen* screen = window.screen();
    if (!screen)
        return;
    // The frame is known once the window has been shown; before that a title bar is assumed.
    QSize frame = window.frameGeometry().size() - window.geometry().size();
    if (frame.isEmpty())
        frame = QSize(8, 32);
    const QSize room = screen->availableGeometry().size() - frame;
    if (window.width() > room.width() || window.height() > room.height())
        window.resize(window.size().boundedTo(room));
}

} // namespace ui
