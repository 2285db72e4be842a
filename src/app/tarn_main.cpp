// tarn: the desktop program. The core of tarnd behind a window that lives in the tray.

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>

#include "device/single_instance.h"
#include "ui/tarn_program.h"

using namespace Qt::StringLiterals;

namespace {

int g_wakePipe[2] = {-1, -1};

extern "C" void onEndSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] auto n = ::write(g_wakePipe[1], &byte, 1);
    errno = saved;
}

void printUsage(std::FILE* out) {
    std::fputs("usage: tarn [--no-search] [--help]\n"
               "\n"
               "The desktop manager for serial-to-Ethernet device servers: virtual serial ports\n"
               "COM<n> mapped to device servers over TCP or UDP, the device servers of the local\n"
               "networks, and a message log of both. It starts into the tray (or minimised when\n"
               "the desktop has no tray) and searches for device servers on every local subnet.\n"
               "\n"
               "  --no-search  do not search for device servers (and open no device-management\n"
               "               endpoint or capture adapter)\n"
               "  --help       show this text\n"
               "\n"
               "One instance per user: a starting tarn ends a running tarn or tarnd of the same\n"
               "user, which frees its ports first. SIGTERM ends the program as a session end does.\n",
               out);
}

} // namespace

int main(int argc, char** argv) {
    bool search = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return 0;
        }
        if (arg == "--no-search") {
            search = false;
            continue;
        }
        // Qt's own options (-platform, -style, ...) are left to QApplication.
        if (arg.rfind("-", 0) == 0 && arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "tarn: unknown option %s\n", arg.c_str());
            printUsage(stderr);
            return 2;
        }
    }

    if (::pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("tarn: pipe");
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // One owner of a user's mappings: a running tarn or tarnd is ended (it shuts down and
    // frees its ports) before this one loads them. Held until exit.
    std::optional<SingleInstance> instance;
    if (const auto lockPath = defaultLockPath()) {
        SingleInstance::Options lockOptions;
        lockOptions.lockPath = *lockPath;
        instance.emplace(SingleInstance::acquire(lockOptions));
        if (instance->outcome() != SingleInstance::Outcome::Acquired)
            std::fprintf(stderr, "tarn: %s\n", outcomeText(instance->outcome()));
    }

    QApplication app(argc, argv);
    app.setApplicationName(u"tarn"_s);
    app.setWindowIcon(QIcon(u":/icons/app.svg"_s));
    // The window lives in the tray: closing the last visible box must not end the program.
    app.setQuitOnLastWindowClosed(false);

    TarnProgram::Options options;
    options.core.deviceManagement = search;
    options.core.searchAtStartUp = search;
    options.core.announceStartUpSearch = true;
    options.window.trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    TarnProgram program(std::move(options));
    program.form().show();

    QSocketNotifier endSignal(g_wakePipe[0], QSocketNotifier::Read);
    QObject::connect(&endSignal, &QSocketNotifier::activated, &program.form(), [&program] {
        char drain[16];
        while (::read(g_wakePipe[0], drain, sizeof drain) > 0) {
        }
        program.form().endSession();
    });
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &program.form(),
                     [&program] { program.form().endSession(); });
    return app.exec();
}
