#pragma once
// The mapping message log as the bridge sees it: one line per connection event, handed to a
// sink the program core installs. Without a sink the lines go nowhere.

#include <functional>
#include <mutex>
#include <string>
#include <utility>

using MappingMessageSink = std::function<void(const std::string& text)>;

namespace message_log_detail {
inline std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}
inline MappingMessageSink& sink() {
    static MappingMessageSink current;
    return current;
}
} // namespace message_log_detail

// Installs (or, with nullptr, removes) the sink. Once this returns, the old sink is no
// longer being called, so its owner may go away.
inline void setMappingMessageSink(MappingMessageSink sink) {
    std::lock_guard guard(message_log_detail::sinkMutex());
    message_log_detail::sink() = std::move(sink);
}

// Called from any thread, mappings' locks held or not; the sink must not block for long.
inline void logMappingMessage(const std::string& text) {
    std::lock_guard guard(message_log_detail::sinkMutex());
    if (message_log_detail::sink())
        message_log_detail::sink()(text);
}
