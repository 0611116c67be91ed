// Helpers of the UDP and multicast server tests: an io thread of the test's
// own to run the servers, a recorder of what the servers hand to the
// dispatch core (a UDPRequestListener that takes every datagram, with the
// dispatch core's worker threads running), and a bounded wait for log lines.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>
#include "network_layer/src/callbackhandler.h"
#include "support/log_capture.h"

namespace zel_test {

// Long enough for a loaded sanitizer build; a passing test never waits it out.
constexpr std::chrono::milliseconds kDispatchWait{10000};

// Poll period of the bounded waits below.
constexpr std::chrono::milliseconds kPollPeriod{2};

// One thread running an io_service until destroyed, in place of the server
// manager's "ZelUdpIo" or "ZelMcastIo" thread. The thread starts in the
// namespace of the thread that creates the object.
class IoThread {
  public:
    IoThread() : work_(new boost::asio::io_service::work(io_)), thread_([this] { io_.run(); }) {}
    ~IoThread() {
        work_.reset();
        io_.stop();
        thread_.join();
    }
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    boost::asio::io_service& Io() { return io_; }

  private:
    boost::asio::io_service io_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    std::thread thread_;
};

// Waits until a captured log line contains text; false on time-out.
inline bool WaitForLog(const LogCapture& log, const std::string& text,
                       std::chrono::milliseconds timeout = kDispatchWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!log.Contains(text)) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollPeriod);
    }
    return true;
}

// Called on the dispatch core's "ZelUdpReq" workers, two at a time.
class UdpRequestRecorder : public zel_upnp::network_layer::UDPRequestListener {
  public:
    using Request = boost::shared_ptr<zel_upnp::utils::HTTPInfo>;

    int OnUDPRequestReceived(Request request) override {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        cv_.notify_all();
        return 0;
    }

    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_.size();
    }

    bool WaitForCount(size_t count, std::chrono::milliseconds timeout = kDispatchWait) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
    }

    // The first request whose header name has exactly value, waiting for it
    // to arrive; null on time-out.
    Request WaitForHeader(const char* name, const std::string& value,
                          std::chrono::milliseconds timeout = kDispatchWait) {
        std::unique_lock<std::mutex> lock(mutex_);
        Request found;
        cv_.wait_for(lock, timeout, [&] {
            for (const Request& request : requests_) {
                std::string got;
                if (request->GetHeaderValue(name, got) == 0 && got == value) {
                    found = request;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    // How many recorded requests carry header name with value.
    size_t CountHeader(const char* name, const std::string& value) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const Request& request : requests_) {
            std::string got;
            if (request->GetHeaderValue(name, got) == 0 && got == value)
                ++n;
        }
        return n;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Request> requests_;
};

// Runs the dispatch core's workers with a recorder registered for every
// datagram (an empty pattern matches all), for the lifetime of the object.
// Destroy it only after the servers' io threads have ended.
class DispatchHarness {
  public:
    DispatchHarness() : recorder_(boost::make_shared<UdpRequestRecorder>()) {
        auto* dispatch = zel_upnp::network_layer::CallBackHandler::GetInstance();
        ok_ = dispatch != nullptr && dispatch->StartCallbackThreads() == 0 &&
              dispatch->RegisterUDPPattern({""}, recorder_, id_) == 0;
    }
    ~DispatchHarness() { zel_upnp::network_layer::CallBackHandler::DestroyInstance(); }
    DispatchHarness(const DispatchHarness&) = delete;
    DispatchHarness& operator=(const DispatchHarness&) = delete;

    bool Ok() const { return ok_; }
    UdpRequestRecorder& Recorder() { return *recorder_; }

  private:
    boost::shared_ptr<UdpRequestRecorder> recorder_;
    int id_ = -1;
    bool ok_ = false;
};

}  // namespace zel_test
