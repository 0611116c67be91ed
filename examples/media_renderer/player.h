// The play-back back-end behind AVTransport and RenderingControl. Two
// implementations: GStreamer's playbin (built when ZEL_RENDERER_GSTREAMER is
// on) and a simulated clock that renders nothing. Each is safe to call from
// any thread; the end handler runs on the back-end's own thread, never
// under its lock.
#ifndef ZEL_EXAMPLES_MEDIA_RENDERER_PLAYER_H
#define ZEL_EXAMPLES_MEDIA_RENDERER_PLAYER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace renderer {

class Player {
  public:
    /// The media ended by itself (error false) or could not be played.
    typedef std::function<void(bool error)> EndHandler;

    virtual ~Player() = default;
    /// Set once, before the first Load.
    virtual void SetEndHandler(EndHandler handler) = 0;
    /// Stops whatever plays and readies uri. durationHintMs: the duration the
    /// metadata gave, -1 when none (a real pipeline reads its own).
    virtual bool Load(const std::string& uri, int64_t durationHintMs) = 0;
    virtual bool Play() = 0;
    virtual bool Pause() = 0;
    /// Back to the start, nothing rendered.
    virtual void Stop() = 0;
    virtual bool Seek(int64_t positionMs) = 0;
    virtual int64_t PositionMs() = 0;
    /// -1 while unknown.
    virtual int64_t DurationMs() = 0;
    /// 0 to 100.
    virtual void SetVolume(int volume) = 0;
    virtual void SetMute(bool mute) = 0;
    /// The sink protocolInfo list for ConnectionManager's GetProtocolInfo.
    virtual std::string SinkProtocolInfo() const = 0;
};

/// The back-end this build carries.
std::unique_ptr<Player> MakePlayer();

}  // namespace renderer

#endif
