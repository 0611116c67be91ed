// playbin renders the URI; position, duration and the end of the stream
// come from the pipeline. The "renderer-gst" thread reads the bus for the
// end of the stream and errors; GStreamer's element calls are thread-safe,
// so the other calls go straight to the pipeline.
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <thread>

#include <gst/gst.h>

#include "player.h"

namespace renderer {
namespace {

const GstClockTime kBusPoll = 100 * GST_MSECOND;
const char kSinkFormats[] =
    "http-get:*:audio/mpeg:*,http-get:*:audio/mp4:*,http-get:*:audio/x-flac:*,"
    "http-get:*:audio/flac:*,http-get:*:audio/wav:*,http-get:*:audio/ogg:*,"
    "http-get:*:video/mp4:*,http-get:*:video/mpeg:*,http-get:*:video/x-matroska:*,"
    "http-get:*:video/webm:*";

class GstPlayer : public Player {
  public:
    GstPlayer() {
        gst_init(nullptr, nullptr);
        playbin_ = gst_element_factory_make("playbin", "renderer");
        thread_ = std::thread([this] { Run(); });
    }
    ~GstPlayer() override {
        stopping_ = true;
        thread_.join();
        if (playbin_ != nullptr) {
            gst_element_set_state(playbin_, GST_STATE_NULL);
            gst_object_unref(playbin_);
        }
    }
    void SetEndHandler(EndHandler handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        on_end_ = std::move(handler);
    }
    bool Load(const std::string& uri, int64_t) override {
        if (playbin_ == nullptr)
            return false;
        gst_element_set_state(playbin_, GST_STATE_NULL);
        g_object_set(playbin_, "uri", uri.c_str(), nullptr);
        return gst_element_set_state(playbin_, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE;
    }
    bool Play() override { return SetState(GST_STATE_PLAYING); }
    bool Pause() override { return SetState(GST_STATE_PAUSED); }
    void Stop() override {
        if (SetState(GST_STATE_PAUSED))
            Seek(0);
    }
    bool Seek(int64_t positionMs) override {
        return playbin_ != nullptr &&
               gst_element_seek_simple(
                   playbin_, GST_FORMAT_TIME,
                   static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT),
                   positionMs * GST_MSECOND);
    }
    int64_t PositionMs() override { return Query(false); }
    int64_t DurationMs() override { return Query(true); }
    void SetVolume(int volume) override {
        if (playbin_ != nullptr)
            g_object_set(playbin_, "volume", volume / 100.0, nullptr);
    }
    void SetMute(bool mute) override {
        if (playbin_ != nullptr)
            g_object_set(playbin_, "mute", mute ? TRUE : FALSE, nullptr);
    }
    std::string SinkProtocolInfo() const override { return kSinkFormats; }

  private:
    bool SetState(GstState state) {
        return playbin_ != nullptr &&
               gst_element_set_state(playbin_, state) != GST_STATE_CHANGE_FAILURE;
    }
    int64_t Query(bool duration) {
        gint64 value = -1;
        if (playbin_ == nullptr ||
            !(duration ? gst_element_query_duration(playbin_, GST_FORMAT_TIME, &value)
                       : gst_element_query_position(playbin_, GST_FORMAT_TIME, &value)))
            return duration ? -1 : 0;
        return value / GST_MSECOND;
    }
    void Run() {
        pthread_setname_np(pthread_self(), "renderer-gst");
        if (playbin_ == nullptr)
            return;
        GstBus* bus = gst_element_get_bus(playbin_);
        while (!stopping_) {
            GstMessage* message = gst_bus_timed_pop_filtered(
                bus, kBusPoll, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
            if (message == nullptr)
                continue;
            const bool error = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
            gst_message_unref(message);
            Stop();
            EndHandler handler;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                handler = on_end_;
            }
            if (handler)
                handler(error);
        }
        gst_object_unref(bus);
    }

    GstElement* playbin_ = nullptr;
    std::mutex mutex_;  // guards on_end_
    EndHandler on_end_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Player> MakePlayer() {
    return std::unique_ptr<Player>(new GstPlayer);
}

}  // namespace renderer
