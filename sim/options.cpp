#include "options.h"

#include <cstring>
#include <fstream>

namespace devsim {

namespace {

std::optional<std::uint16_t> port(const std::string& text) {
    const auto value = parseNumber(text, 65535);
    if (!value)
        return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

// The rate table of the control protocol; the image stores the index.
constexpr std::uint32_t kBaudRates[13] = {110,   300,   1200,   2400,   4800,   9600,  19200,
                                          38400, 57600, 115200, 230400, 460800, 921600};

std::optional<std::string> applyKey(const std::string& key, const std::string& value, DeviceSpec& spec) {
    auto bad = [&] { return std::optional<std::string>("bad value for " + key + ": '" + value + "'"); };
    if (key == "ip") {
        const auto ip = parseIpv4(value);
        if (!ip)
            return bad();
        spec.ip = *ip;
    } else if (key == "mask" || key == "gateway" || key == "gw") {
        const auto ip = parseIpv4(value);
        if (!ip)
            return bad();
        (key == "mask" ? spec.mask : spec.gateway) = *ip;
    } else if (key == "mac") {
        const auto mac = parseMac(value);
        if (!mac)
            return bad();
        spec.mac = *mac;
    } else if (key == "id") {
        const auto id = parseNumber(value, 0xFFFF);
        if (!id)
            return bad();
        spec.id = static_cast<std::uint16_t>(*id);
    } else if (key == "name") {
        if (value.size() > eeprom::kDeviceNameSize - 1)
            return "name longer than 19 characters: '" + value + "'";
        spec.name = value;
    } else if (key == "project") {
        if (value.size() > eeprom::kProjectNameSize - 1)
            return "project longer than 49 characters: '" + value + "'";
        spec.project = value;
    } else if (key == "mode") {
        if (value == "tcp-server")
            spec.mode = WorkingMode::TcpServer;
        else if (value == "tcp-client")
            spec.mode = WorkingMode::TcpClient;
        else if (value == "udp")
            spec.mode = WorkingMode::Udp;
        else
            return bad();
    } else if (key == "data-port" || key == "control-port") {
        const auto p = port(value);
        if (!p)
            return bad();
        (key == "data-port" ? spec.dataPort : spec.controlPort) = *p;
    } else if (key == "remote") {
        const auto colon = value.rfind(':');
        if (colon == std::string::npos)
            return bad();
        const auto ip = parseIpv4(value.substr(0, colon));
        const auto p = port(value.substr(colon + 1));
        if (!ip || !p)
            return bad();
        spec.remoteIp = *ip;
        spec.remotePort = *p;
    } else if (key == "baud") {
        const auto rate = parseNumber(value, 10000000);
        std::optional<std::uint8_t> index;
        for (std::uint8_t i = 0; rate && i < 13; ++i)
            if (kBaudRates[i] == *rate)
                index = i;
        if (!index)
            return bad();
        spec.baudIndex = *index;
    } else if (key == "account" || key == "password" || key == "control-password") {
        if (value.size() > eeprom::kCredentialSize)
            return key + " longer than 16 characters";
        (key == "account" ? spec.account : key == "password" ? spec.password : spec.controlPassword) = value;
    } else if (key == "eeprom") {
        spec.eepromPath = value;
    } else if (key == "serial") {
        if (value != "echo" && value != "none" && (value.rfind("pty:", 0) != 0 || value.size() <= 4))
            return bad();
        spec.serial = value;
    } else if (key == "rfc2217") {
        if (value != "on" && value != "refuse" && value != "off")
            return bad();
        spec.comPort = value == "on"       ? ComPortControl::On
                       : value == "refuse" ? ComPortControl::Refuse
                                           : ComPortControl::Off;
    } else if (key == "silent" || key == "twice" || key == "refuse-login") {
        if (value != "0" && value != "1")
            return bad();
        (key == "silent" ? spec.silent : key == "twice" ? spec.answerTwice : spec.refuseLoginStart) = value == "1";
    } else {
        return "unknown device key '" + key + "'";
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> parseDeviceSpec(const std::string& text, DeviceSpec& spec) {
    bool haveIp = false;
    for (const auto& item : splitOn(text, ',')) {
        if (item.empty())
            continue;
        const auto equals = item.find('=');
        if (equals == std::string::npos)
            return "expected key=value, got '" + item + "'";
        const std::string key = item.substr(0, equals);
        if (auto error = applyKey(key, item.substr(equals + 1), spec))
            return error;
        haveIp = haveIp || key == "ip";
    }
    if (!haveIp)
        return "device without ip= in '" + text + "'";
    if (spec.comPort != ComPortControl::Off && spec.mode && *spec.mode != WorkingMode::TcpServer)
        return "rfc2217= needs mode=tcp-server: the host connects to the device's data port";
    return std::nullopt;
}

std::variant<Options, std::string> parseOptions(int argc, char** argv, bool& help) {
    Options options;
    help = false;
    std::optional<std::uint32_t> count;
    std::optional<Ipv4> baseIp;
    std::optional<MacAddress> baseMac;
    std::uint32_t baseId = 1;
    std::string templateSpec;
    std::string eepromFile, eepromDir;
    bool silent = false, twice = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc)
                return std::nullopt;
            return std::string(argv[++i]);
        };
        auto missing = [&] { return std::string("missing value after ") + arg; };
        if (arg == "--help" || arg == "-h") {
            help = true;
            return options;
        } else if (arg == "--device") {
            const auto v = value();
            if (!v)
                return missing();
            DeviceSpec spec;
            if (auto error = parseDeviceSpec(*v, spec))
                return *error;
            options.devices.push_back(spec);
        } else if (arg == "--config") {
            const auto v = value();
            if (!v)
                return missing();
            std::ifstream file(*v);
            if (!file)
                return "cannot read " + *v;
            std::string line;
            int number = 0;
            while (std::getline(file, line)) {
                ++number;
                const auto words = splitWords(line);
                if (words.empty() || words[0][0] == '#')
                    continue;
                DeviceSpec spec;
                if (auto error = parseDeviceSpec(words[0], spec))
                    return *v + ":" + std::to_string(number) + ": " + *error;
                options.devices.push_back(spec);
            }
        } else if (arg == "--count") {
            const auto v = value();
            if (!v)
                return missing();
            count = parseNumber(*v, 60000);
            if (!count || *count == 0)
                return "bad --count '" + *v + "'";
        } else if (arg == "--base-ip") {
            const auto v = value();
            if (!v)
                return missing();
            baseIp = parseIpv4(*v);
            if (!baseIp)
                return "bad --base-ip '" + *v + "'";
        } else if (arg == "--base-mac") {
            const auto v = value();
            if (!v)
                return missing();
            baseMac = parseMac(*v);
            if (!baseMac)
                return "bad --base-mac '" + *v + "'";
        } else if (arg == "--base-id") {
            const auto v = value();
            const auto id = v ? parseNumber(*v, 0xFFFF) : std::nullopt;
            if (!id)
                return "bad --base-id";
            baseId = *id;
        } else if (arg == "--template") {
            const auto v = value();
            if (!v)
                return missing();
            templateSpec = *v;
        } else if (arg == "--eeprom") {
            const auto v = value();
            if (!v)
                return missing();
            eepromFile = *v;
        } else if (arg == "--eeprom-dir") {
            const auto v = value();
            if (!v)
                return missing();
            eepromDir = *v;
        } else if (arg == "--serial") {
            const auto v = value();
            if (!v || (*v != "echo" && *v != "none" && (v->rfind("pty:", 0) != 0 || v->size() <= 4)))
                return "bad --serial value";
            options.defaultSerial = *v;
        } else if (arg == "--control-result") {
            const auto v = value();
            const auto result = v ? parseNumber(*v, 255) : std::nullopt;
            if (!result)
                return "bad --control-result";
            options.controlResult = static_cast<std::uint8_t>(*result);
        } else if (arg == "--silent") {
            silent = true;
        } else if (arg == "--answer-twice") {
            twice = true;
        } else if (arg == "--no-raw") {
            options.raw = false;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else {
            return "unknown option '" + arg + "'";
        }
    }

    if (count || baseIp) {
        if (!count || !baseIp)
            return "--count and --base-ip go together";
        for (std::uint32_t n = 0; n < *count; ++n) {
            DeviceSpec spec;
            // The template is parsed with a placeholder address; the generated one replaces it.
            if (auto error = parseDeviceSpec("ip=0.0.0.0," + templateSpec, spec))
                return "--template: " + *error;
            spec.ip = ipFromValue(ipValue(*baseIp) + n);
            if (baseMac) {
                std::uint64_t mac = 0;
                for (auto b : *baseMac)
                    mac = (mac << 8) | b;
                mac += n;
                MacAddress m{};
                for (int k = 5; k >= 0; --k, mac >>= 8)
                    m[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(mac);
                spec.mac = m;
            }
            spec.id = static_cast<std::uint16_t>(baseId + n);
            const std::string prefix = spec.name.value_or("devsim");
            std::string name = prefix + "-" + std::to_string(n + 1);
            spec.name = name.substr(0, eeprom::kDeviceNameSize - 1);
            options.devices.push_back(spec);
        }
    }
    if (options.devices.empty())
        return "no device given (--device, --count or --config)";

    if (!eepromFile.empty()) {
        if (options.devices.size() != 1)
            return "--eeprom needs exactly one device (use eeprom= per device or --eeprom-dir)";
        options.devices[0].eepromPath = eepromFile;
    }
    bool anyPty = options.defaultSerial.rfind("pty:", 0) == 0;
    if (anyPty && options.devices.size() != 1)
        return "--serial pty:PATH needs exactly one device (use serial= per device)";
    for (auto& device : options.devices) {
        if (device.eepromPath.empty() && !eepromDir.empty())
            device.eepromPath = eepromDir + "/" + ipText(device.ip) + ".eeprom";
        if (device.serial.empty())
            device.serial = options.defaultSerial;
        device.silent = device.silent || silent;
        device.answerTwice = device.answerTwice || twice;
    }
    for (std::size_t a = 0; a < options.devices.size(); ++a)
        for (std::size_t b = a + 1; b < options.devices.size(); ++b)
            if (options.devices[a].ip == options.devices[b].ip)
                return "two devices on " + ipText(options.devices[a].ip);
    return options;
}

const char* usageText() {
    return R"(usage: tarn-devsim [options] --device SPEC [--device SPEC ...]
       tarn-devsim [options] --count N --base-ip IP [--template SPEC]
       tarn-devsim [options] --config FILE

Emulates serial-to-Ethernet device servers, each on an address of a local interface:
device management on UDP port 8000, answers to the raw discovery frame, the data endpoint
in the device's working mode and the control port.

Device SPEC, comma-separated key=value pairs:
  ip=A.B.C.D              the address to serve (required)
  mask=M gateway=G        reported mask (default: the interface's) and gateway (0.0.0.0)
  mac=02:00:00:00:01:10   factory MAC (default 02:00 followed by the address)
  id=N                    device ID, 0-65535 (default 1)
  name=TEXT project=TEXT  device name (up to 19 characters), project name (up to 49)
  mode=tcp-server|tcp-client|udp           working mode (default tcp-server)
  data-port=P             local data port: TCP listening port or UDP port (default 4001)
  remote=IP:PORT          where a tcp-client connects; the UDP peer (0.0.0.0:0 = last sender)
  control-port=P          control port (default 4002; 0 = none, and no option 5)
  baud=RATE               serial rate in the image (default 9600)
  account=A password=P    login credentials (default admin / admin)
  control-password=C      password of the control protocol (default empty)
  eeprom=FILE             image file: loaded if present, created otherwise, saved on
                          write-complete; keys given here override what it holds
  serial=echo|pty:PATH|none   serial side: echo, or a pseudo-terminal linked at PATH
  rfc2217=on|refuse       the data connection is Telnet and the host sets the serial line in
                          it (RFC 2217 COM port control; tcp-server only); refuse: Telnet
                          that refuses the COM port option (default off: plain bytes)
  silent=1 twice=1 refuse-login=1

Options:
  --eeprom FILE           image file of the only device
  --eeprom-dir DIR        image files DIR/<ip>.eeprom for every device
  --serial echo|pty:PATH|none  serial side of devices without serial= (default echo)
  --silent                answer no device-management request and no discovery frame
  --answer-twice          send every search answer twice
  --control-result N      result byte of every 02 and 16 answer (default: 0 when the
                          control password matches, else 1)
  --count N --base-ip IP [--base-mac MAC] [--base-id N] [--template SPEC]
                          N devices on consecutive addresses
  --config FILE           one device SPEC per line; # starts a comment line
  --no-raw                ignore raw discovery frames
  --quiet                 print only the ready line, errors and command answers
  --help
  --version

Standard input, one command per line; IP picks a device (default: the first):
  send [IP] HEX...        send bytes on the control connection ("send 11 30")
  serial [IP] HEX...      bytes arriving on the serial line, sent to the data peer
  silent [IP] on|off      stop or resume answering device management
  status [IP]             "status IP data=up|down control=up|down"
  modem [IP] NAME...|none modem lines now on, of cts dsr ri dcd (the rest off), reported to
                          the RFC 2217 host: "ok modem sent 0xNN", or "ok modem set 0xNN"
                          when no host has agreed the option yet (it gets them on agreement)
  quit                    stop, as on SIGTERM
Every command answers one line "ok ..." or "error ...".

Standard output, one line per event; with several devices " [IP]" ends the line:
  devsim ready            all devices are listening
  control rx HEX...       one control message received (hex bytes)
  control line settings 9600 7E1 flow none   what a received 01 sets
  control modem lines RTS on, DTR off        what a received 15 sets
  control tx HEX...       bytes sent on the control connection
  control connected PEER | control closed
  data connected PEER | data closed
  login ok ACCOUNT | login refused ACCOUNT
  eeprom read ADDR COUNT | eeprom write ADDR COUNT | eeprom commit | eeprom saved FILE
  search from PEER
  rfc2217 agreed | rfc2217 refused        the host's COM port option taken or refused
  rfc2217 baud 19200 | data size 7 | parity even | stop size 1
  rfc2217 control flow hardware | break on | DTR on | RTS off
  rfc2217 line state mask 0x00 | modem state mask 0xF0
  rfc2217 purge rx|tx|both | suspend | resume | signature [TEXT]
                          one line per host command, with the value now in force, followed
                          by (query) for a query and (refused N) when the line cannot take N
  rfc2217 malformed       a broken subnegotiation (once per connection)
  rfc2217 unknown command N               a command this device does not take
)";
}

} // namespace devsim
