// ConnectionManager:1 of a renderer without PrepareForConnection: the one
// connection 0, tied to AVTransport and RenderingControl instance 0. Its
// state never changes, so its only event is the initial one.
#ifndef ZEL_EXAMPLES_MEDIA_RENDERER_CONNECTION_MANAGER_H
#define ZEL_EXAMPLES_MEDIA_RENDERER_CONNECTION_MANAGER_H

#include <string>

#include "service.h"

namespace renderer {

class ConnectionManager {
  public:
    static const ServiceUrls kUrls;

    /// sink: the protocolInfo list of what the player can render.
    explicit ConnectionManager(std::string sink) : sink_(std::move(sink)) {}
    bool Start(const std::string& udn);
    void Handle(const Request& request) const;

  private:
    const std::string sink_;
};

}  // namespace renderer

#endif
