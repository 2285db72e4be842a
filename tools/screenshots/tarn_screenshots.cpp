// Renders the desktop program's views to PNG files: the device page, the mapping page, the
// search dialog, the add dialog, the configuration dialog, the about box and a port monitor,
// from the real program running on whatever devices and mappings its namespace and mapping
// file give it (scripts/screenshots.sh sets them up).
//
//   tarn-screenshots OUT_DIR [--open COM<n>]... [--wait-connected COM<n>] [--monitor COM<n>] [--screen]
//
// --open holds a port open as an application would, so its mapping connects (or turns red
// when it cannot); --monitor writes requests to that opened port for a few seconds, which an
// echoing device answers, and shows its monitor window (tarn-monitor.png); --screen also grabs the
// whole screen around each view as NAME-screen.png (a real display, e.g. under Xvfb with a
// window manager).

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "device/device_list.h"
#include "model/mapping_lists.h"
#include "model/tarn_info.h"
#include "ui/screen_fit.h"
#include "ui/t_config_dialog.h"
#include "ui/t_port_monitor.h"
#include "ui/t_small_box.h"
#include "ui/t_small_input_dialog.h"
#include "ui/t_tarn_add_gui.h"
#include "ui/t_temp_search_dialog.h"
#include "ui/tarn_program.h"

using namespace Qt::StringLiterals;

namespace {

bool waitFor(const std::function<bool()>& condition, int limitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    return true;
}

bool writeImage(const QPixmap& picture, const QString& path) {
    const bool ok = picture.save(path);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", path.toUtf8().constData());
    return ok;
}

// The widget as it draws itself; with `wholeScreen` also the screen around it as the user
// sees it (the window manager's frames, the tray, where the dialog lies), as NAME-screen.png.
bool save(QWidget& widget, const QString& path, bool wholeScreen) {
    widget.repaint();
    bool ok = writeImage(widget.grab(), path);
    if (wholeScreen) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
        if (QScreen* primary = QGuiApplication::primaryScreen())
            ok = writeImage(primary->grabWindow(0), QString(path).replace(u".png"_s, u"-screen.png"_s)) && ok;
    }
    return ok;
}

// An application on the port: open, raw, 9600 baud.
int openPort(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    termios line{};
    if (::tcgetattr(fd, &line) == 0) {
        ::cfmakeraw(&line);
        ::cfsetspeed(&line, B9600);
        ::tcsetattr(fd, TCSANOW, &line);
    }
    return fd;
}

// An application's traffic on an open port: a text request and a binary one in turn, a burst
// now and then so the rate plot has a shape, and the device's echo read back.
class PortTalker {
public:
    explicit PortTalker(int fd) : m_fd(fd) {
        m_timer.setInterval(40);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { step(); });
        m_timer.start();
    }

private:
    void step() {
        static const std::string kText = "READ 40001 8\r\n";
        static const std::string kBinary("\x01\x03\x00\x00\x00\x0a\xc5\xcd", 8);
        const int repeat = (m_step / 25) % 2 == 0 ? 1 : 6;
        std::string out;
        for (int i = 0; i < repeat; ++i)
            out += m_step % 2 == 0 ? kText : kBinary;
        ++m_step;
        if (::write(m_fd, out.data(), out.size()) < 0) {
            // A full port waits for the next step.
        }
        char echo[4096];
        while (::read(m_fd, echo, sizeof echo) > 0) {
        }
    }

    int m_fd;
    int m_step = 0;
    QTimer m_timer;
};

std::string portDir() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/tarn";
    return "/tmp/tarn-" + std::to_string(::getuid());
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fputs("usage: tarn-screenshots OUT_DIR [--open COM<n>]... [--wait-connected COM<n>] [--monitor COM<n>] "
                   "[--screen]\n",
                   stderr);
        return 2;
    }
    const QString out = args[1];
    QDir().mkpath(out);
    std::vector<std::string> toOpen;
    int waitConnected = 0;
    std::string monitorPort;
    bool screen = false;
    for (int i = 2; i < args.size(); ++i) {
        if (args[i] == u"--open"_s && i + 1 < args.size())
            toOpen.push_back(args[++i].toStdString());
        else if (args[i] == u"--wait-connected"_s && i + 1 < args.size())
            waitConnected = args[++i].mid(3).toInt();
        else if (args[i] == u"--monitor"_s && i + 1 < args.size())
            monitorPort = args[++i].toStdString();
        else if (args[i] == u"--screen"_s)
            screen = true;
    }

    TarnProgram::Options options;
    options.core.deviceManagement = true;
    options.core.announceStartUpSearch = true;
    TarnProgram program(std::move(options));
    TForm1& form = program.form();
    form.show();

    // The start-up: mappings loaded, the window gone to its minimised place, the search done.
    if (!waitFor(
            [&] {
                return program.core().mappingsLoaded() && program.core().deviceCount() > 0 &&
                       form.deviceModel()->rowCount() > 0;
            },
            30000))
        std::fputs("tarn-screenshots: no device found at start-up\n", stderr);
    std::vector<int> fds;
    for (const std::string& name : toOpen) {
        const int fd = openPort(portDir() + "/" + name);
        if (fd < 0)
            std::fprintf(stderr, "tarn-screenshots: cannot open %s\n", name.c_str());
        fds.push_back(fd);
    }
    if (waitConnected > 0) {
        waitFor(
            [&] {
                for (const core::MappingRow& row : program.core().mappingRows())
                    if (row.comNumber == waitConnected)
                        return row.cells[7] == "Connected"; // NET Status
                return false;
            },
            20000);
    }
    form.showNormal();
    // Wide enough for every column where the screen allows; a real screen keeps its size.
    form.resize(1240, 600);
    if (screen)
        ui::fitToScreen(form);

    form.selectPage(TForm1::Page::DeviceInfo);
    form.deviceView()->selectRow(0);
    form.logTabs()->setCurrentIndex(0);
    waitFor([] { return false; }, 300);
    bool ok = save(form, out + u"/tarn-devices.png"_s, screen);

    form.selectPage(TForm1::Page::ComMapping);
    form.logTabs()->setCurrentIndex(1);
    // Two ticks: the rows are rebuilt on the first, the states settle by the second.
    waitFor([] { return false; }, 2200);
    ok = save(form, out + u"/tarn-mappings.png"_s, screen) && ok;

    if (!monitorPort.empty()) {
        const auto opened = std::find(toOpen.begin(), toOpen.end(), monitorPort);
        const int fd = opened == toOpen.end() ? -1 : fds[static_cast<std::size_t>(opened - toOpen.begin())];
        const int com = std::atoi(monitorPort.c_str() + 3);
        for (int row = 0; row < form.mappingModel()->rowCount(); ++row)
            if (form.mappingModel()->cell(row, 1).toInt() == com)
                form.mappingView()->selectRow(row);
        form.monitorCommand();
        if (TPortMonitor* monitor = form.monitorWindow(com); monitor && fd >= 0) {
            // Long enough for the rate plot to show a few seconds of both directions.
            PortTalker talker(fd);
            waitFor([] { return false; }, 7000);
            // From the top: the port's state as the watch began, then the first exchanges.
            monitor->view()->scrollToTop();
            ok = save(*monitor, out + u"/tarn-monitor.png"_s, screen) && ok;
            monitor->close();
        } else {
            std::fprintf(stderr, "tarn-screenshots: no monitor on %s (is it --open?)\n", monitorPort.c_str());
            ok = false;
        }
    }

    form.selectPage(TForm1::Page::DeviceInfo);
    form.searchCommand();
    TtempSearchDialog& search = program.searchDialog();
    waitFor([&] { return search.countdown().remaining() <= 4 && search.answers()->rowCount() > 0; }, 10000);
    ok = save(search, out + u"/tarn-search.png"_s, screen) && ok;
    waitFor([&] { return !search.isVisible(); }, 20000);

    form.selectPage(TForm1::Page::ComMapping);
    form.addMappingCommand();
    TTARNAddGUI& add = program.addDialog();
    add.deviceList()->selectRow(1);
    waitFor([] { return false; }, 300);
    ok = save(add, out + u"/tarn-add.png"_s, screen) && ok;
    add.reject();

    // The configuration of the first device: the login dialog first (nothing remembered yet).
    form.selectPage(TForm1::Page::DeviceInfo);
    form.deviceView()->selectRow(0);
    form.configureCommand();
    TsmallInputDialog& login = program.loginDialog();
    if (waitFor([&] { return login.isVisible(); }, 15000)) {
        ok = save(login, out + u"/tarn-login.png"_s, screen) && ok;
        login.accountField()->setText(u"admin"_s);
        login.passwordField()->setText(u"admin"_s);
        login.accept();
    }
    TConfigDialog& config = program.configDialog();
    if (waitFor([&] { return config.isVisible(); }, 20000)) {
        waitFor([] { return false; }, 300);
        ok = save(config, out + u"/tarn-config.png"_s, screen) && ok;
        config.reject();
    } else {
        std::fputs("tarn-screenshots: the configuration dialog did not open\n", stderr);
        ok = false;
    }
    program.messageBox().hide();

    form.showAbout();
    waitFor([] { return false; }, 200);
    ok = save(program.messageBox(), out + u"/tarn-about.png"_s, screen) && ok;

    for (int fd : fds)
        if (fd >= 0)
            ::close(fd);
    return ok ? 0 : 1;
}
