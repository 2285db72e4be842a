#include "core/mapping_assembly.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bridge/lock_interface.h"
#include "bridge/message_log.h"
#include "mapping/net_setup.h"
#include "model/mapping_file.h"

TARNINFO* assembleMapping(MappingLists& lists, const tarnDesc& desc) {
    if (!isKnownMode(desc.mode))
        return nullptr;
    TARNINFO* tarnInfo = lists.addMapping(desc.comNum);
    if (tarnInfo)
        setUpMapping(lists, static_cast<std::size_t>(tarnInfo->index), desc);
    return tarnInfo;
}

bool setUpMapping(MappingLists& lists, std::size_t position, const tarnDesc& desc) {
    if (!isKnownMode(desc.mode) || !setUpNetworkSide(lists, position, desc))
        return false;
    TARNINFO& tarnInfo = lists.at(position);
    {
        // Under the lock the threads' passes hold, so none of them sees the mark missing
        // between the rewrite and the mark.
        SyncLock hold(*lists.threadSets[position]->lock);
        // Each mode stores only the fields that mean something for it.
        if (desc.mode == kModeTcpServer)
            tarnInfo.setDesc(desc.comNum, kModeTcpServer, "0.0.0.0", desc.localPort, 0);
        else if (desc.mode == kModeTcpClient)
            tarnInfo.setDesc(desc.comNum, kModeTcpClient, desc.ipAddress, 0, desc.remotePort);
        else
            tarnInfo.setDesc(desc.comNum, kModeUdp, desc.ipAddress, desc.localPort, desc.remotePort);
        // setDesc clears the whole address field, mark included.
        if (isRfc2217(desc))
            setRfc2217(*tarnInfo.desc, true);
    }
    // The control protocol runs for TCP clients only; an RFC 2217 one carries the port's
    // settings on its data connection instead.
    tarnInfo.control->enabled.store(desc.mode == kModeTcpClient && !isRfc2217(desc) ? 1 : 0);
    return true;
}

void loadMappingFile(MappingLists& lists) {
    loadMappingFile(lists, mappingFilePath());
}

void loadMappingFile(MappingLists& lists, const std::string& path) {
    if (lists.fileLoaded)
        return;
    lists.fileLoaded = true;
    MappingReadFailure failure = MappingReadFailure::Unreadable;
    const std::optional<std::vector<DescRecord>> records = readMappingRecords(path, &failure);
    if (!records) {
        // Either way the file stays as it is: saves are refused.
        lists.fileUnreadable = true;
        if (failure == MappingReadFailure::TooLong)
            logMappingMessage("The mapping file holds more than " + std::to_string(kMaxMappingRecords) +
                              " records; none is loaded and the file is left as it is.");
        return;
    }
    if (records->empty())
        return;
    lists.stopAll();
    lists.destroyAll();
    lists.preservedRecords.clear();

    for (const DescRecord& record : *records) {
        const tarnDesc desc = decodeDesc(record.data());
        // A record that cannot run is kept byte for byte and written back at the end of the
        // file, taking no port and no COM number: a mode this program does not know (turned
        // into a mapping, its default fields would overwrite it at the next save); a second
        // record for a COM number already mapped (two mappings would split the application's
        // bytes between two peers); a port that cannot be made now (someone holds its name;
        // dropping it would lose the user's mapping at the next save).
        if (!isKnownMode(desc.mode) || lists.findByCom(desc.comNum) >= 0) {
            lists.preservedRecords.push_back(record);
            continue;
        }
        if (!assembleMapping(lists, desc)) {
            lists.preservedRecords.push_back(record);
            char text[64];
            std::snprintf(text, sizeof text, "COM%d cannot be created.", desc.comNum);
            logMappingMessage(text);
        }
    }
}
