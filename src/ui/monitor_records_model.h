#pragma once
// The port monitor's records as a table: one row per record, its texts made only when a row
// is drawn, bounded so a long capture keeps a steady memory.

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "core/monitor_text.h"

namespace ui {

// The two directions' colours, shared by the rows and the rate plot.
QColor towardDeviceColor();
QColor towardAppColor();

class MonitorRecordsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kTime, kDirection, kSide, kLength, kHex, kText, kColumnCount };
    // A cell shows this many bytes; Find and Copy as hex use them all.
    static constexpr std::size_t kShownBytes = 64;
    static constexpr std::size_t kDefaultMaxRows = 200'000;
    static constexpr std::size_t kDefaultMaxBytes = std::size_t{64} << 20;

    explicit MonitorRecordsModel(std::int64_t wallOffsetUs, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Appends a batch in one insertion. Past either limit the oldest rows go, down to nine
    // tenths of it, so drops come in batches too. Returns the number of rows dropped.
    std::size_t append(std::vector<monitor::Record> records);
    void clear();
    void setLimits(std::size_t maxRows, std::size_t maxBytes);
    // The hex and text columns' font, fixed pitch so the bytes line up.
    void setFixedFont(const QFont& font) { m_fixedFont = font; }

    const monitor::Record& record(int row) const { return m_records.at(static_cast<std::size_t>(row)); }
    const std::deque<monitor::Record>& records() const { return m_records; }

private:
    std::int64_t m_wallOffsetUs;
    QFont m_fixedFont;
    std::deque<monitor::Record> m_records;
    std::size_t m_bytes = 0;
    std::size_t m_maxRows = kDefaultMaxRows;
    std::size_t m_maxBytes = kDefaultMaxBytes;
};

} // namespace ui
