// RenderingControl:1, one instance (0), the Master channel: volume 0 to
// 100, mute, and the FactoryDefaults preset. Every evented change goes
// through LastChange.
#ifndef ZEL_EXAMPLES_MEDIA_RENDERER_RENDERING_CONTROL_H
#define ZEL_EXAMPLES_MEDIA_RENDERER_RENDERING_CONTROL_H

#include <mutex>
#include <string>

#include "player.h"
#include "service.h"

namespace renderer {

class RenderingControl {
  public:
    static const ServiceUrls kUrls;

    explicit RenderingControl(Player& player);
    /// Registers the service under udn and records the starting state.
    bool Start(const std::string& udn);
    void Handle(const Request& request);

  private:
    Reply Decide(const Request& request);
    // Under mutex_.
    void Apply(int volume, bool mute);

    Player& player_;
    cc::LastChangeEvents events_;
    std::mutex mutex_;  // orders changes to the player with their events
    int volume_ = 0;
    bool mute_ = false;
};

}  // namespace renderer

#endif
