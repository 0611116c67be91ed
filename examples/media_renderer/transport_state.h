// AVTransport's state machine as data: which transport command each state
// allows (the rest get the fault 701), and the time format of the DCP.
// Pure functions; no lock, any thread.
#ifndef ZEL_EXAMPLES_MEDIA_RENDERER_TRANSPORT_STATE_H
#define ZEL_EXAMPLES_MEDIA_RENDERER_TRANSPORT_STATE_H

#include <cstdint>
#include <string>

namespace renderer {

enum class TransportState { kNoMediaPresent, kStopped, kPlaying, kPausedPlayback, kTransitioning };
enum class Command { kPlay, kPause, kStop, kSeek, kNext, kPrevious };

/// The TransportState value ("NO_MEDIA_PRESENT", "STOPPED", ...).
const char* StateName(TransportState state);
/// Whether command may be given in state.
bool Allows(TransportState state, Command command);
/// CurrentTransportActions in state: the allowed commands, comma-separated.
std::string TransportActions(TransportState state);

/// "H:MM:SS" as AVTransport writes times (hours unbounded).
std::string FormatTime(int64_t ms);
/// Reads H+:MM:SS with an optional fraction (".F+" or ".F0/F1"); false for
/// anything else.
bool ParseTime(const std::string& text, int64_t& ms);

}  // namespace renderer

#endif
