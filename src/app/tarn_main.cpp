// tarn: the desktop program. The core of tarnd behind a window that lives in the tray.

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <cstdio>
#include <string>

#include "core/program_entry.h"
#include "platform/capabilities.h"
#include "ui/tarn_program.h"

using namespace Qt::StringLiterals;

namespace {

void printUsage(std::FILE* out) {
    std::fputs("usage: tarn [--minimized] [--no-search] [--help] [--version]\n"
               "\n"
               "The desktop manager for serial-to-Ethernet device servers: virtual serial ports\n"
               "COM<n> mapped to device servers over TCP or UDP, the device servers of the local\n"
               "networks, and a message log of both. It starts into the tray when the desktop\n"
               "has one (saying so once), else it stays shown, and searches for device servers\n"
               "on every local subnet.\n"
               "\n"
               "  --minimized  start in the tray, or minimised without one (the autostart entry)\n"
               "  --no-search  do not search for device servers (and open no device-management\n"
               "               endpoint or capture adapter)\n"
               "  --help       show this text\n"
               "  --version    show the program's version\n"
               "\n"
               "One instance per user: a starting tarn ends a running tarn or tarnd of the same\n"
               "user, which frees its ports first. SIGTERM ends the program as a session end does.\n"
               "The raw Ethernet discovery needs root or CAP_NET_RAW (setcap cap_net_raw+ep).\n",
               out);
}

} // namespace

int main(int argc, char** argv) {
    // Qt's own options (-platform, -style, ...) are left to QApplication.
    core::EntryOptions entry;
    if (const auto status = core::parseEntryOptions(argc, argv, "tarn", TARN_VERSION, printUsage, entry, true))
        return *status;

    const int endSignals = core::installEndSignals("tarn");
    if (endSignals < 0)
        return 1;
    // One owner of a user's mappings: a running tarn or tarnd is ended (it shuts down and
    // frees its ports) before this one loads them. Held until exit.
    const auto instance = core::takeOwnerLock("tarn");

    QApplication app(argc, argv);
    app.setApplicationName(u"tarn"_s);
    app.setWindowIcon(QIcon(u":/icons/app.svg"_s));
    // The window lives in the tray: closing the last visible box must not end the program.
    app.setQuitOnLastWindowClosed(false);

    TarnProgram::Options options;
    options.core.deviceManagement = entry.search;
    options.core.searchAtStartUp = entry.search;
    options.core.announceStartUpSearch = true;
    options.core.controlChannel = instance && instance->held();
    options.window.trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    options.window.startMinimized = entry.minimized;
    TarnProgram program(std::move(options));
    // Once, in the device log: the search goes on without the raw fallback.
    if (entry.search && !mayCaptureRaw())
        program.core().logDeviceMessage(rawCaptureOffNotice());
    program.form().show();

    QSocketNotifier endSignal(endSignals, QSocketNotifier::Read);
    QObject::connect(&endSignal, &QSocketNotifier::activated, &program.form(), [&program, endSignals] {
        core::drainEndSignals(endSignals);
        program.form().endSession();
    });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &program.form(),
                     [&program] { program.form().endSession(); });
    return app.exec();
}
