// AVTransport:1, one instance (0). Actions run on the library's action
// thread, the end of the media on the player's; both meet under mutex_.
// Every evented change goes through LastChange.
#ifndef ZEL_EXAMPLES_MEDIA_RENDERER_AV_TRANSPORT_H
#define ZEL_EXAMPLES_MEDIA_RENDERER_AV_TRANSPORT_H

#include <mutex>
#include <string>

#include "player.h"
#include "service.h"
#include "transport_state.h"

namespace renderer {

class AVTransport {
  public:
    static const ServiceUrls kUrls;

    explicit AVTransport(Player& player);
    /// Registers the service under udn and records the starting state.
    bool Start(const std::string& udn);
    void Handle(const Request& request);

  private:
    Reply Decide(const Request& request);
    Reply SetUri(const Request& request);
    Reply Transport(Command command, const Request& request);
    void OnEnd(bool error);
    // Under mutex_: records the state and what it allows.
    void SetState(TransportState state);
    std::string MediaDuration();

    Player& player_;
    cc::LastChangeEvents events_;
    std::mutex mutex_;
    TransportState state_ = TransportState::kNoMediaPresent;
    std::string uri_;
    std::string metadata_;  // DIDL-Lite exactly as given
};

}  // namespace renderer

#endif
