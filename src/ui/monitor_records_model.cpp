#include "ui/monitor_records_model.h"

#include <QFont>
#include <QFontDatabase>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace ui {

namespace {

bool isNote(monitor::Flow flow) {
    return flow == monitor::Flow::kEvent || flow == monitor::Flow::kLost;
}

// A cell's bytes, cut to what a row can show.
QString shown(const std::string& text, std::size_t bytes, std::size_t total) {
    QString cell = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    if (total > bytes)
        cell += u" \u2026"_s;
    return cell;
}

} // namespace

QColor towardDeviceColor() {
    return {25, 90, 190};
}

QColor towardAppColor() {
    return {190, 85, 0};
}

MonitorRecordsModel::MonitorRecordsModel(std::int64_t wallOffsetUs, QObject* parent)
    : QAbstractTableModel(parent), m_wallOffsetUs(wallOffsetUs),
      m_fixedFont(QFontDatabase::systemFont(QFontDatabase::FixedFont)) {}

int MonitorRecordsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_records.size());
}

int MonitorRecordsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant MonitorRecordsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const monitor::Record& record = m_records[static_cast<std::size_t>(index.row())];
    const bool note = isNote(record.flow);
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole: {
        if (column == kTime)
            return QString::fromStdString(core::monitorTime(record.timeUs, m_wallOffsetUs));
        if (note)
            return column == kText ? QString::fromStdString(core::eventText(record)) : QVariant();
        const std::string head = record.bytes.substr(0, kShownBytes);
        switch (column) {
        case kDirection:
            return QString::fromUtf8(core::flowArrow(record.flow));
        case kSide:
            return QString::fromLatin1(core::flowSide(record.flow));
        case kLength:
            return static_cast<qulonglong>(record.bytes.size());
        case kHex:
            return shown(core::hexText(head), kShownBytes, record.bytes.size());
        case kText:
            return shown(core::printableText(head), kShownBytes, record.bytes.size());
        default:
            return {};
        }
    }
    case Qt::ToolTipRole:
        // An event's words may be longer than its cell.
        return note && column == kText ? QVariant(QString::fromStdString(core::eventText(record))) : QVariant();
    case Qt::ForegroundRole:
        if (record.flow == monitor::Flow::kLost)
            return QColor(160, 0, 0);
        if (note)
            return QColor(80, 80, 80);
        return monitor::towardDevice(record.flow) ? towardDeviceColor() : towardAppColor();
    case Qt::BackgroundRole:
        return note ? QVariant(QColor(238, 238, 238)) : QVariant();
    case Qt::FontRole:
        if (note) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        if (column == kHex || column == kText)
            return m_fixedFont;
        return {};
    case Qt::TextAlignmentRole:
        return column == kLength ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    default:
        return {};
    }
}

QVariant MonitorRecordsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const kNames[kColumnCount] = {"Time", "Direction", "Side", "Length", "Hex", "Text"};
    return section >= 0 && section < kColumnCount ? QString::fromLatin1(kNames[section]) : QString();
}

std::size_t MonitorRecordsModel::append(std::vector<monitor::Record> records) {
    // A batch larger than the limits by itself keeps only its newest part.
    std::size_t skip = 0;
    if (records.size() > m_maxRows)
        skip = records.size() - m_maxRows;
    std::size_t incomingBytes = 0;
    for (std::size_t i = skip; i < records.size(); ++i)
        incomingBytes += records[i].bytes.size();
    while (skip < records.size() && incomingBytes > m_maxBytes)
        incomingBytes -= records[skip++].bytes.size();
    const std::size_t incoming = records.size() - skip;
    if (incoming == 0)
        return 0;

    std::size_t drop = 0;
    if (m_records.size() + incoming > m_maxRows || m_bytes + incomingBytes > m_maxBytes) {
        const std::size_t keepRows = m_maxRows - m_maxRows / 10;
        const std::size_t keepBytes = m_maxBytes - m_maxBytes / 10;
        std::size_t bytes = m_bytes + incomingBytes;
        while (drop < m_records.size() && (m_records.size() - drop + incoming > keepRows || bytes > keepBytes)) {
            bytes -= m_records[drop].bytes.size();
            ++drop;
        }
    }
    if (drop > 0) {
        beginRemoveRows({}, 0, static_cast<int>(drop) - 1);
        for (std::size_t i = 0; i < drop; ++i)
            m_bytes -= m_records[i].bytes.size();
        m_records.erase(m_records.begin(), m_records.begin() + static_cast<std::ptrdiff_t>(drop));
        endRemoveRows();
    }
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(incoming) - 1);
    for (std::size_t i = skip; i < records.size(); ++i)
        m_records.push_back(std::move(records[i]));
    m_bytes += incomingBytes;
    endInsertRows();
    return drop;
}

void MonitorRecordsModel::clear() {
    beginResetModel();
    m_records.clear();
    m_bytes = 0;
    endResetModel();
}

void MonitorRecordsModel::setLimits(std::size_t maxRows, std::size_t maxBytes) {
    m_maxRows = std::max<std::size_t>(maxRows, 1);
    m_maxBytes = std::max<std::size_t>(maxBytes, 1);
}

} // namespace ui
