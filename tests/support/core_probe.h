#pragma once
// What a test may look at inside the program core: its records, which no front end reaches.

#include "core/program_core.h"

namespace core {

struct ProgramCoreProbe {
    // Main thread only.
    static MappingLists& lists(ProgramCore& core) { return core.lists(); }
    // Null without the device side.
    static DeviceList* devices(ProgramCore& core) { return core.deviceList(); }
};

} // namespace core
