#include "device/search_job.h"

#include "device/net_cmd.h"

void SearchProgress::reset() {
    std::lock_guard lock(m_mutex);
    m_udp.clear();
    m_raw.clear();
    m_rawSearch.store(false);
    m_finished.store(false);
}

void SearchProgress::addUdpAnswer(const _KT550Node& node) {
    std::lock_guard lock(m_mutex);
    m_udp.push_back(node);
}

void SearchProgress::addRawAnswer(const _KT550Node& node) {
    std::lock_guard lock(m_mutex);
    m_raw.push_back(node);
}

std::vector<_KT550Node> SearchProgress::udpAnswers() const {
    std::lock_guard lock(m_mutex);
    return m_udp;
}

std::vector<_KT550Node> SearchProgress::rawAnswers() const {
    std::lock_guard lock(m_mutex);
    return m_raw;
}

std::size_t runSearchJob(NetCmd& netCmd, DeviceList& deviceList, const RawDiscoverFn& rawDiscover,
                         SearchProgress* progress) {
    if (progress) {
        progress->reset();
    }
    NodeList answers = netCmd.NcmdSrhDevice([progress](const _KT550Node& node) {
        if (progress)
            progress->addUdpAnswer(node);
    });

    DeviceList::Entries entries;
    if (!answers.empty()) {
        for (auto& node : answers)
            entries.push_back(makeDeviceInfo(std::move(node)));
    } else if (rawDiscover) {
        if (progress)
            progress->setRawSearch(true);
        NodeList raw = rawDiscover();
        for (auto& node : raw) {
            if (!node)
                continue;
            if (progress)
                progress->addRawAnswer(*node);
            entries.push_back(makeDeviceInfo(std::move(node)));
        }
    }
    const std::size_t count = entries.size();
    deviceList.replace(std::move(entries));
    if (progress)
        progress->setFinished(true);
    return count;
}
