#pragma once
// The desktop program as the window tests drive it: the real core and forms in private
// folders, on the offscreen platform, with the test thread as the user-interface thread.

#include <QAbstractItemView>
#include <QHeaderView>
#include <QLabel>
#include <QTableView>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>
#include <memory>

#include "../integration/mapping_harness.h"
#include "ui/t_small_box.h"
#include "ui/tarn_program.h"

namespace ui_test {

using namespace mapping_test;
using namespace Qt::StringLiterals;

inline constexpr int kWaitMs = 30000;

inline TarnProgram::Options programOptions(bool trayAvailable = false) {
    TarnProgram::Options options;
    options.core = CoreUnderTest::testOptions(false);
    options.window.trayAvailable = trayAvailable;
    return options;
}

// Runs the window's events until `condition` holds; false at the deadline.
template <typename Condition> bool waitUntil(Condition condition, int limitMs = kWaitMs) {
    return QTest::qWaitFor(condition, limitMs);
}

// Clicks the tool bar button whose tooltip is `name`.
inline bool clickTool(QToolBar* bar, const QString& name) {
    for (QAction* action : bar->actions()) {
        if (action->text() == name) {
            if (auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(action))) {
                QTest::mouseClick(button, Qt::LeftButton);
                return true;
            }
        }
    }
    return false;
}

inline void clickHeader(QTableView* view, int column) {
    QHeaderView* header = view->horizontalHeader();
    const QPoint point(header->sectionViewportPosition(column) + header->sectionSize(column) / 2, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, point);
}

inline void clickRow(QTableView* view, int row) {
    const QRect cell = view->visualRect(view->model()->index(row, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
}

inline QStringList column(QTableView* view, int column) {
    QStringList texts;
    for (int row = 0; row < view->model()->rowCount(); ++row)
        texts.push_back(view->model()->index(row, column).data().toString());
    return texts;
}

// The error box as the user sees it now.
inline QString shownError(TarnProgram& program) {
    TsmallBox& box = program.messageBox();
    if (!box.isVisible() || box.messageStyle() != TsmallBox::Style::Error)
        return {};
    return box.messageLabel()->text();
}

} // namespace ui_test
