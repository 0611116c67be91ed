// Captures the library's log lines for the lifetime of the object, so that a
// test can assert which messages a call produced.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace zel_test {

struct LogLine {
    int prio;
    std::string tag;
    std::string text;
};

class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() const;
    // True when some captured line contains text (and has the tag, when given).
    bool Contains(const std::string& text, const std::string& tag = std::string()) const;
    size_t Count(const std::string& text) const;
    void Clear();

  private:
    static void Sink(int prio, const char* tag, const char* text, void* user);
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

}  // namespace zel_test
