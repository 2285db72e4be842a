#include "ui/text_rows_model.h"

#include <algorithm>

#include "core/program_core.h"

namespace ui {

TextRowsModel::TextRowsModel(QStringList headers, QObject* parent)
    : QAbstractTableModel(parent), m_headers(std::move(headers)) {}

int TextRowsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int TextRowsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_headers.size());
}

QString TextRowsModel::cell(int row, int column) const {
    if (row < 0 || row >= rowCount())
        return {};
    return m_rows[static_cast<std::size_t>(row)].cells.value(column);
}

QVariant TextRowsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const TextRow& row = m_rows[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return row.cells.value(index.column());
    case Qt::ForegroundRole:
        return row.red ? QColor(255, 0, 0) : QColor(0, 0, 0);
    case Qt::BackgroundRole:
        return m_background ? QVariant(*m_background) : QVariant();
    case Qt::ToolTipRole: {
        const QString& tip =
            row.cellToolTips.value(index.column()).isEmpty() ? row.toolTip : row.cellToolTips[index.column()];
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    default:
        return {};
    }
}

QVariant TextRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_headers.value(section);
    return {};
}

void TextRowsModel::setRows(std::vector<TextRow> rows) {
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

void TextRowsModel::appendRows(std::vector<TextRow> rows) {
    if (rows.empty())
        return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
    for (TextRow& row : rows)
        m_rows.push_back(std::move(row));
    endInsertRows();
}

void TextRowsModel::removeRowAt(int row) {
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows({}, row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
}

void TextRowsModel::removeFirstRows(int count) {
    count = std::min(count, rowCount());
    if (count <= 0)
        return;
    beginRemoveRows({}, 0, count - 1);
    m_rows.erase(m_rows.begin(), m_rows.begin() + count);
    endRemoveRows();
}

void TextRowsModel::setToolTip(int row, const QString& toolTip) {
    if (row < 0 || row >= rowCount() || m_rows[static_cast<std::size_t>(row)].toolTip == toolTip)
        return;
    m_rows[static_cast<std::size_t>(row)].toolTip = toolTip;
    emit dataChanged(index(row, 0), index(row, columnCount() - 1), {Qt::ToolTipRole});
}

void TextRowsModel::sortByClick(int column, SortState& state) {
    if (column == state.column)
        state.ascending = !state.ascending;
    state.column = column;
    const bool ascending = state.ascending;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> oldRowOf(m_rows.size());
    for (std::size_t i = 0; i < oldRowOf.size(); ++i)
        oldRowOf[i] = static_cast<int>(i);
    // Stable, so rows that compare equal keep their order.
    std::stable_sort(oldRowOf.begin(), oldRowOf.end(), [&](int a, int b) {
        const int order = core::compareCells(m_rows[static_cast<std::size_t>(a)].cells.value(column).toStdString(),
                                             m_rows[static_cast<std::size_t>(b)].cells.value(column).toStdString());
        return ascending ? order < 0 : order > 0;
    });
    std::vector<TextRow> sorted;
    sorted.reserve(m_rows.size());
    std::vector<int> newRowOf(m_rows.size());
    for (std::size_t i = 0; i < oldRowOf.size(); ++i) {
        sorted.push_back(std::move(m_rows[static_cast<std::size_t>(oldRowOf[i])]));
        newRowOf[static_cast<std::size_t>(oldRowOf[i])] = static_cast<int>(i);
    }
    m_rows = std::move(sorted);
    QModelIndexList after;
    for (const QModelIndex& index : before)
        after.push_back(this->index(newRowOf[static_cast<std::size_t>(index.row())], index.column()));
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

} // namespace ui
