#pragma once
// Windows no larger than their screen: a small screen or a large scale factor must not put
// a window's edge, or its buttons, out of reach.

class QWidget;

namespace ui {

// Shrinks a top-level window to the room its screen leaves (less the window manager's frame)
// and no further; what the window then cannot show scrolls inside it. Called before showing,
// so a dialog still places itself over its parent at the size it will have.
void fitToScreen(QWidget& window);

} // namespace ui
