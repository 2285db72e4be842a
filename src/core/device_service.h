#pragma once
// The device side of a program: the NetCmd endpoint, the device list and the raw discovery,
// with the commands that the window, the command socket and tarnctl run on devices. The
// commands that talk to a device block for its time-outs: run them on the worker, or in a
// command-line program.

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/description.h"
#include "device/device_list.h"
#include "device/eeprom_access.h"
#include "device/net_cmd.h"
#include "platform/result.h"

class DeviceList;
class RawDiscovery;
class SearchProgress;

namespace core {

// The captions of a device row's cells, in order.
inline constexpr const auto& kDeviceColumnNames = kDeviceColumns;
// Whether `text` is an address the device commands take: four dotted numbers.
inline bool isDeviceAddress(const std::string& text) {
    return parseDottedIp(text.c_str()).has_value();
}

struct DeviceFailure {
    enum Kind {
        kNoDevice,     // no device with that IP in the last search
        kLoginFailed,  // the login was refused or not answered
        kEepromFailed, // a block of the image could not be moved
        kNotConfirmed, // the device did not confirm the completed write
        kRefused,      // a value of the form was refused: nothing was written
    };
    Kind kind;
    std::vector<std::string> refused; // kRefused: the fields' captions, in form order
};

template <class T> using DeviceResult = Result<T, DeviceFailure>;

class DeviceService {
public:
    struct Options {
        // Protocol trace lines ("NetCmd Login Fail:..."); none by default.
        std::function<void(std::string_view)> trace;
        // A running program opens the capture adapters once, here; a command-line program
        // only when a search needs the raw fallback.
        bool captureAtStart = true;
        // Told once when a search needs the raw fallback that this program may not capture.
        std::function<void()> captureOff;
        // The NetCmd endpoint's ports and broadcast targets (tests aim it at loopback), and
        // its time-outs in milliseconds.
        NetCmdOptions netCmd;
        int searchTimeoutMs = 3000;
        int answerTimeoutMs = 2000;
    };

    // Needs the socket layer started.
    explicit DeviceService(Options options);
    ~DeviceService();
    DeviceService(const DeviceService&) = delete;
    DeviceService& operator=(const DeviceService&) = delete;

    // Read from any thread; rebuilt by each search.
    DeviceList& devices() { return *m_devices; }
    SearchProgress& progress() { return *m_progress; }

    // The device list as the device page shows it (No, Device ID, ... Gateway), in list order.
    std::vector<std::array<std::string, 8>> rows() const;

    // NetCmd search on every subnet, the raw discovery when nothing answers; returns the
    // number of devices found.
    std::size_t search();
    // The device's login; the credentials that worked are remembered for it.
    DeviceResult<void> logIn(const std::string& ip, std::string_view account, std::string_view password);
    // The same with the credentials that last worked for the device.
    DeviceResult<void> logInAgain(const std::string& ip);
    // The whole image, after a login.
    DeviceResult<EepromImage> readImage(const std::string& ip);
    // The whole image, then the device's write-complete, after a login.
    DeviceResult<void> writeImage(const std::string& ip, const EepromImage& image);

    // The configuration through the dialog's description: the form shows `image` (cleared
    // first, so nothing of another device stays); then every field is checked and, when all
    // are accepted, the new image comes back. No network.
    static void showConfiguration(const std::vector<config::XMLGUI>& form, const EepromImage& image);
    static DeviceResult<EepromImage> collectConfiguration(const std::vector<config::XMLGUI>& form, EepromImage image);

    // Any thread: a running search, login, read or write ends within a few tens of
    // milliseconds as if the device had not answered, and so does every later one. For
    // the end of the program.
    void stop();
    // Releases the capture adapters (a discovery may still be collecting on them).
    void closeCapture();

private:
    Options m_options;
    std::unique_ptr<NetCmd> m_netCmd;
    std::unique_ptr<DeviceList> m_devices;
    std::unique_ptr<SearchProgress> m_progress;
    std::unique_ptr<RawDiscovery> m_raw;
    EepromImage m_image{};
    std::unique_ptr<DeviceAccess> m_access;
    bool m_toldCaptureOff = false;
};

} // namespace core
