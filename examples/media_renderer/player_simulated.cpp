// A clock instead of a pipeline: the position advances while playing and
// the media ends at its duration (the metadata's, or kDefaultDurationMs).
// Enough for a control point to see every state a real renderer goes
// through; a vendor replaces this file with its own pipeline.
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "player.h"

namespace renderer {
namespace {

using Clock = std::chrono::steady_clock;
const int64_t kDefaultDurationMs = 5 * 60 * 1000;
const char kSinkFormats[] =
    "http-get:*:audio/mpeg:*,http-get:*:audio/mp4:*,http-get:*:audio/x-flac:*,"
    "http-get:*:audio/flac:*,http-get:*:audio/wav:*,http-get:*:audio/ogg:*,"
    "http-get:*:video/mp4:*,http-get:*:video/mpeg:*,http-get:*:video/x-matroska:*,"
    "http-get:*:video/webm:*";

class SimulatedPlayer : public Player {
  public:
    SimulatedPlayer() : thread_([this] { Run(); }) {}
    ~SimulatedPlayer() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            wake_.notify_one();
        }
        thread_.join();
    }
    void SetEndHandler(EndHandler handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        on_end_ = std::move(handler);
    }
    bool Load(const std::string&, int64_t durationHintMs) override {
        std::lock_guard<std::mutex> lock(mutex_);
        duration_ms_ = durationHintMs > 0 ? durationHintMs : kDefaultDurationMs;
        position_ms_ = 0;
        playing_ = false;
        return true;
    }
    bool Play() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!playing_) {
            started_ = Clock::now();
            playing_ = true;
            wake_.notify_one();
        }
        return true;
    }
    bool Pause() override {
        std::lock_guard<std::mutex> lock(mutex_);
        position_ms_ = PositionLocked();
        playing_ = false;
        return true;
    }
    void Stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        position_ms_ = 0;
        playing_ = false;
    }
    bool Seek(int64_t positionMs) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (positionMs < 0 || positionMs > duration_ms_)
            return false;
        position_ms_ = positionMs;
        started_ = Clock::now();
        wake_.notify_one();
        return true;
    }
    int64_t PositionMs() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return PositionLocked();
    }
    int64_t DurationMs() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return duration_ms_;
    }
    void SetVolume(int) override {}
    void SetMute(bool) override {}
    std::string SinkProtocolInfo() const override { return kSinkFormats; }

  private:
    int64_t PositionLocked() const {
        if (!playing_)
            return position_ms_;
        const auto ran =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
        return std::min(duration_ms_, position_ms_ + ran);
    }

    // "renderer-clock": sleeps until the playing media would end, then
    // reports the end without the lock held.
    void Run() {
        pthread_setname_np(pthread_self(), "renderer-clock");
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            if (!playing_) {
                wake_.wait(lock);
                continue;
            }
            const auto end = started_ + std::chrono::milliseconds(duration_ms_ - position_ms_);
            if (Clock::now() < end) {
                wake_.wait_until(lock, end);
                continue;
            }
            playing_ = false;
            position_ms_ = 0;
            EndHandler handler = on_end_;
            lock.unlock();
            if (handler)
                handler(false);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    EndHandler on_end_;
    bool stopping_ = false;
    bool playing_ = false;
    int64_t duration_ms_ = kDefaultDurationMs;
    int64_t position_ms_ = 0;  // at started_ while playing
    Clock::time_point started_;
    std::thread thread_;  // last: starts once the members above exist
};

}  // namespace

std::unique_ptr<Player> MakePlayer() {
    return std::unique_ptr<Player>(new SimulatedPlayer);
}

}  // namespace renderer
