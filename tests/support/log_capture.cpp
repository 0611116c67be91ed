#include "support/log_capture.h"

#include "zel_platform_hooks.h"

namespace zel_test {

LogCapture::LogCapture() {
    zel_platform_set_log_sink(&LogCapture::Sink, this);
}

LogCapture::~LogCapture() {
    zel_platform_set_log_sink(nullptr, nullptr);
}

void LogCapture::Sink(int prio, const char* tag, const char* text, void* user) {
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back(LogLine{prio, tag, text});
}

std::vector<LogLine> LogCapture::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool LogCapture::Contains(const std::string& text, const std::string& tag) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const LogLine& line : lines_) {
        if (line.text.find(text) != std::string::npos && (tag.empty() || line.tag == tag))
            return true;
    }
    return false;
}

size_t LogCapture::Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const LogLine& line : lines_) {
        if (line.text.find(text) != std::string::npos)
            ++n;
    }
    return n;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

}  // namespace zel_test
