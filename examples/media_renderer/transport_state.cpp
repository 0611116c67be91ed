#include "transport_state.h"

#include <cstdio>
#include <cstdlib>

namespace renderer {
namespace {

const struct {
    Command command;
    const char* name;
} kCommands[] = {{Command::kPlay, "Play"}, {Command::kPause, "Pause"},
                 {Command::kStop, "Stop"}, {Command::kSeek, "Seek"},
                 {Command::kNext, "Next"}, {Command::kPrevious, "Previous"}};

unsigned Bit(Command command) {
    return 1u << static_cast<unsigned>(command);
}

// Per state, the commands it allows. Play while playing and Stop while
// stopped are no-ops the DCP allows; Pause needs something playing.
unsigned AllowedSet(TransportState state) {
    const unsigned media = Bit(Command::kStop) | Bit(Command::kSeek) | Bit(Command::kNext) |
                           Bit(Command::kPrevious) | Bit(Command::kPlay);
    switch (state) {
        case TransportState::kNoMediaPresent:
            return 0;
        case TransportState::kStopped:
        case TransportState::kPausedPlayback:
            return media;
        case TransportState::kPlaying:
            return media | Bit(Command::kPause);
        case TransportState::kTransitioning:
            return Bit(Command::kStop);
    }
    return 0;
}

}  // namespace

const char* StateName(TransportState state) {
    switch (state) {
        case TransportState::kNoMediaPresent:
            return "NO_MEDIA_PRESENT";
        case TransportState::kStopped:
            return "STOPPED";
        case TransportState::kPlaying:
            return "PLAYING";
        case TransportState::kPausedPlayback:
            return "PAUSED_PLAYBACK";
        case TransportState::kTransitioning:
            return "TRANSITIONING";
    }
    return "STOPPED";
}

bool Allows(TransportState state, Command command) {
    return (AllowedSet(state) & Bit(command)) != 0;
}

std::string TransportActions(TransportState state) {
    std::string actions;
    for (const auto& c : kCommands) {
        if (!Allows(state, c.command))
            continue;
        if (!actions.empty())
            actions += ',';
        actions += c.name;
    }
    return actions;
}

std::string FormatTime(int64_t ms) {
    if (ms < 0)
        ms = 0;
    const int64_t seconds = ms / 1000;
    char text[32];
    std::snprintf(text, sizeof(text), "%lld:%02d:%02d", static_cast<long long>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return text;
}

bool ParseTime(const std::string& text, int64_t& ms) {
    unsigned long hours = 0;
    unsigned minutes = 0;
    unsigned seconds = 0;
    int used = 0;
    // sscanf would skip blanks and take one-digit fields; the positions of
    // the colons and the absence of blanks rule both out.
    if (text.empty() || text.find_first_of(" \t+-") != std::string::npos ||
        std::sscanf(text.c_str(), "%9lu:%2u:%2u%n", &hours, &minutes, &seconds, &used) != 3 ||
        used < 7 || text[used - 3] != ':' || text[used - 6] != ':' || minutes > 59 || seconds > 59)
        return false;
    int64_t fraction_ms = 0;
    const std::string rest = text.substr(static_cast<size_t>(used));
    if (!rest.empty()) {
        // ".F+" (decimal digits) or ".F0/F1" (a fraction of whole numbers).
        if (rest[0] != '.' || rest.size() < 2)
            return false;
        const size_t slash = rest.find('/');
        const std::string a =
            rest.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
        if (a.empty() || a.size() > 9 || a.find_first_not_of("0123456789") != std::string::npos)
            return false;
        if (slash == std::string::npos) {
            fraction_ms = std::atoll((a + "000").substr(0, 3).c_str());
        } else {
            const std::string b = rest.substr(slash + 1);
            if (b.empty() || b.size() > 9 || b.find_first_not_of("0123456789") != std::string::npos)
                return false;
            const long long f0 = std::atoll(a.c_str());
            const long long f1 = std::atoll(b.c_str());
            if (f1 == 0 || f0 >= f1)
                return false;
            fraction_ms = f0 * 1000 / f1;
        }
    }
    ms = (static_cast<int64_t>(hours) * 3600 + minutes * 60 + seconds) * 1000 + fraction_ms;
    return true;
}

}  // namespace renderer
