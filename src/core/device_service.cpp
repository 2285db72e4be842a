#include "core/device_service.h"

#include "config/codecs.h"
#include "device/device_list.h"
#include "device/net_cmd.h"
#include "device/raw_discovery.h"
#include "device/search_job.h"
#include "platform/capabilities.h"
#include "platform/pcap_capture.h"

namespace core {

namespace {

// Each block of the image is tried once more before the transfer fails.
constexpr int kImageRetries = 1;

} // namespace

DeviceService::DeviceService(Options options)
    : m_options(std::move(options)),
      m_netCmd(std::make_unique<NetCmd>(0, m_options.searchTimeoutMs, m_options.answerTimeoutMs, m_options.netCmd)),
      m_devices(std::make_unique<DeviceList>()), m_progress(std::make_unique<SearchProgress>()),
      m_raw(std::make_unique<RawDiscovery>(pcapBackend(), m_options.trace)),
      m_access(std::make_unique<DeviceAccess>(*m_netCmd, *m_devices, m_image)) {
    if (m_options.trace)
        m_netCmd->setTraceSink(m_options.trace);
    if (m_options.captureAtStart)
        m_raw->openCaptureAdapters();
}

DeviceService::~DeviceService() {
    closeCapture();
}

void DeviceService::stop() {
    m_netCmd->stop();
    m_raw->stop();
}

void DeviceService::closeCapture() {
    m_raw->closeCaptureAdapters();
}

std::vector<std::array<std::string, 8>> DeviceService::rows() const {
    std::vector<std::array<std::string, 8>> rows;
    const DeviceList::Entries entries = m_devices->snapshot();
    rows.reserve(entries.size());
    for (std::size_t position = 0; position < entries.size(); ++position)
        rows.push_back(deviceRowTexts(position, *entries[position]->node));
    return rows;
}

std::size_t DeviceService::search() {
    return runSearchJob(
        *m_netCmd, *m_devices,
        [this] {
            if (m_options.captureAtStart)
                return m_raw->rawDiscover();
            // Said once, when the fallback is needed; the search goes on without it.
            if (!mayCaptureRaw() && !m_toldCaptureOff && m_options.captureOff) {
                m_toldCaptureOff = true;
                m_options.captureOff();
            }
            m_raw->openCaptureAdapters();
            NodeList found = m_raw->rawDiscover();
            m_raw->closeCaptureAdapters();
            return found;
        },
        m_progress.get());
}

DeviceResult<void> DeviceService::logIn(const std::string& ip, std::string_view account, std::string_view password) {
    const auto device = m_devices->find(ip.c_str());
    if (!device)
        return failure(DeviceFailure{DeviceFailure::kNoDevice, {}});
    if (m_access->login(ip.c_str(), account, password) != 1)
        return failure(DeviceFailure{DeviceFailure::kLoginFailed, {}});
    setNodeText(device->loginAccount, account.data(), account.size());
    setNodeText(device->loginPassword, password.data(), password.size());
    return {};
}

DeviceResult<void> DeviceService::logInAgain(const std::string& ip) {
    const auto device = m_devices->find(ip.c_str());
    if (!device)
        return failure(DeviceFailure{DeviceFailure::kNoDevice, {}});
    const std::string account(device->loginAccount, strnlen(device->loginAccount, sizeof device->loginAccount));
    const std::string password(device->loginPassword, strnlen(device->loginPassword, sizeof device->loginPassword));
    return logIn(ip, account, password);
}

DeviceResult<EepromImage> DeviceService::readImage(const std::string& ip) {
    if (!m_devices->find(ip.c_str()))
        return failure(DeviceFailure{DeviceFailure::kNoDevice, {}});
    if (m_access->readImage(ip.c_str(), kImageRetries) != 0)
        return failure(DeviceFailure{DeviceFailure::kEepromFailed, {}});
    return m_image;
}

DeviceResult<void> DeviceService::writeImage(const std::string& ip, const EepromImage& image) {
    if (!m_devices->find(ip.c_str()))
        return failure(DeviceFailure{DeviceFailure::kNoDevice, {}});
    m_image = image;
    if (m_access->writeImage(ip.c_str(), kImageRetries) != 0)
        return failure(DeviceFailure{DeviceFailure::kEepromFailed, {}});
    if (m_access->writeDone(ip.c_str()) != 1)
        return failure(DeviceFailure{DeviceFailure::kNotConfirmed, {}});
    return {};
}

void DeviceService::showConfiguration(const std::vector<config::XMLGUI>& form, const EepromImage& image) {
    config::clearControls(form);
    config::fillControls(form, image);
}

DeviceResult<EepromImage> DeviceService::collectConfiguration(const std::vector<config::XMLGUI>& form,
                                                              EepromImage image) {
    config::CollectResult collected = config::collectControls(form, image);
    if (!collected)
        return failure(DeviceFailure{DeviceFailure::kRefused, collected.error()});
    return image;
}

} // namespace core
