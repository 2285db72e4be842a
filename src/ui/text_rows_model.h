#pragma once
// A read-only table of text rows for the window's lists: the device and mapping lists, the
// message logs and the search dialog's answers. The core hands over texts; this only shows
// them, marks red rows and carries a tooltip per row.

#include <QAbstractTableModel>
#include <QColor>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

namespace ui {

struct TextRow {
    QStringList cells;
    bool red = false;
    QString toolTip;
    // A cell's own tooltip, by column, over the row's.
    QStringList cellToolTips;
    // The file the row stands for (a mapping's port), which sorting keeps with it.
    QString path;
};

// The direction and column of the last sort, shared by both lists of the main window, so a
// click on one list starts from what the other left.
struct SortState {
    int column = 0;
    bool ascending = false;
};

class TextRowsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TextRowsModel(QStringList headers, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void setRows(std::vector<TextRow> rows);
    void appendRows(std::vector<TextRow> rows);
    void removeRowAt(int row);
    // Drops the first `count` rows (a log view's oldest).
    void removeFirstRows(int count);
    void clear() { setRows({}); }
    // Replaces one row's tooltip in place: the view keeps its selection and scroll.
    void setToolTip(int row, const QString& toolTip);
    const TextRow& row(int row) const { return m_rows.at(static_cast<std::size_t>(row)); }
    QString cell(int row, int column) const;
    // Every row on this background (the search dialog's list); none by default.
    void setBackground(QColor color) { m_background = color; }

    // A header click: the same column again turns the direction round first; then the rows
    // are ordered once by that column (a later setRows shows the core's order again).
    void sortByClick(int column, SortState& state);

private:
    QStringList m_headers;
    std::vector<TextRow> m_rows;
    std::optional<QColor> m_background;
};

// Converts the core's texts to a row.
template <typename Cells> TextRow textRow(const Cells& cells) {
    TextRow row;
    for (const std::string& cell : cells)
        row.cells.push_back(QString::fromStdString(cell));
    return row;
}

} // namespace ui
