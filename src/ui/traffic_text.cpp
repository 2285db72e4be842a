#include "ui/traffic_text.h"

#include <QLocale>

using namespace Qt::StringLiterals;

namespace ui {

QString byteCountText(std::uint64_t bytes) {
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(static_cast<qulonglong>(bytes));
}

QString rateText(double bytesPerSecond) {
    if (bytesPerSecond < 999.5)
        return u"%1 B/s"_s.arg(bytesPerSecond, 0, 'f', 0);
    if (bytesPerSecond < 999'950)
        return u"%1 kB/s"_s.arg(bytesPerSecond / 1e3, 0, 'f', 1);
    return u"%1 MB/s"_s.arg(bytesPerSecond / 1e6, 0, 'f', 1);
}

QString trafficLines(const core::Traffic& traffic) {
    return u"App \u2192 device: %1 bytes, %2\nDevice \u2192 app: %3 bytes, %4"_s.arg(
        byteCountText(traffic.toDevice), rateText(traffic.toDeviceRate), byteCountText(traffic.toApp),
        rateText(traffic.toAppRate));
}

} // namespace ui
