// libFuzzer target: the numbers and addresses a user types (tarnctl, the control socket, the
// add dialog): four fields separated by NUL bytes through every add check, and each field
// through the number and address readers.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "bridge/tvs_port_ax.h"
#include "config/text_helpers.h"
#include "core/add_path.h"
#include "core/device_service.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && fields.size() < 4)
            fields.emplace_back();
        else
            fields.back().push_back(static_cast<char>(data[i]));
    }
    fields.resize(4);
    for (const std::string& field : fields) {
        (void)core::readNumber(field);
        (void)config::checkAddressText(field);
        (void)config::addressBytes(field);
        (void)core::isDeviceAddress(field);
    }
    const std::deque<std::int32_t> systemPorts{1, 2};
    const std::vector<core::ExistingMapping> existing{{5, kModeTcpServer, "0.0.0.0", 4001}};
    for (const int mode : {0, 1, 2}) {
        core::AddRequest request;
        request.comText = fields[0];
        request.ipText = fields[1];
        request.localPortText = fields[2];
        request.remotePortText = fields[3];
        request.isTcp = mode != 2;
        request.isServer = mode == 0;
        const core::AddCheck check = core::checkAdd(request, systemPorts, existing);
        if (check && (check->comNum < 1 || check->comNum > kHighestComNumber))
            __builtin_trap();
    }
    return 0;
}
