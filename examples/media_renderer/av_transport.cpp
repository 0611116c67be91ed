#include "av_transport.h"

namespace renderer {
namespace {

// The counters of GetPositionInfo: "not implemented" in the DCP's terms.
const char kNoCounter[] = "2147483647";
const char kNotImplemented[] = "NOT_IMPLEMENTED";

// The duration a DIDL-Lite res element gives (duration="H:MM:SS.F"), -1
// when there is none.
int64_t MetadataDuration(const std::string& didl) {
    const size_t res = didl.find("<res");
    if (res == std::string::npos)
        return -1;
    const size_t tag_end = didl.find('>', res);
    const std::string key = "duration=\"";
    const size_t at = didl.find(key, res);
    if (at == std::string::npos || at > tag_end)
        return -1;
    const size_t start = at + key.size();
    int64_t ms = -1;
    return ParseTime(didl.substr(start, didl.find('"', start) - start), ms) ? ms : -1;
}

}  // namespace

const ServiceUrls AVTransport::kUrls = {"urn:schemas-upnp-org:service:AVTransport:1",
                                        "urn:upnp-org:serviceId:AVTransport",
                                        "/AVTransport/control", "/AVTransport/event"};

AVTransport::AVTransport(Player& player)
    : player_(player), events_(kUrls.event, cc::kLastChangeAVTransport) {
    player_.SetEndHandler([this](bool error) { OnEnd(error); });
}

bool AVTransport::Start(const std::string& udn) {
    if (!RegisterService(
            udn, kUrls, [this](const Request& r) { Handle(r); },
            [this] { return events_.BuildInitialEvent(); }))
        return false;
    // Two Event documents folded into one would lose the first one's changes.
    cc::SetEventMerging(kUrls.event, false);
    const cc::NameValueList start = {{"TransportState", "NO_MEDIA_PRESENT"},
                                     {"TransportStatus", "OK"},
                                     {"PlaybackStorageMedium", "NONE"},
                                     {"RecordStorageMedium", kNotImplemented},
                                     {"PossiblePlaybackStorageMedia", "NETWORK"},
                                     {"PossibleRecordStorageMedia", kNotImplemented},
                                     {"CurrentPlayMode", "NORMAL"},
                                     {"TransportPlaySpeed", "1"},
                                     {"RecordMediumWriteStatus", kNotImplemented},
                                     {"CurrentRecordQualityMode", kNotImplemented},
                                     {"PossibleRecordQualityModes", kNotImplemented},
                                     {"NumberOfTracks", "0"},
                                     {"CurrentTrack", "0"},
                                     {"CurrentTrackDuration", "0:00:00"},
                                     {"CurrentMediaDuration", "0:00:00"},
                                     {"CurrentTrackMetaData", ""},
                                     {"CurrentTrackURI", ""},
                                     {"AVTransportURI", ""},
                                     {"AVTransportURIMetaData", ""},
                                     {"NextAVTransportURI", ""},
                                     {"NextAVTransportURIMetaData", ""},
                                     {"CurrentTransportActions", ""}};
    for (const auto& variable : start)
        events_.Set(0, variable.first, variable.second);
    return true;
}

void AVTransport::Handle(const Request& request) {
    Reply reply = CheckInstance(request);
    if (reply.error == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        reply = Decide(request);
    }
    Answer(request, reply);
}

Reply AVTransport::Decide(const Request& request) {
    const std::string& action = request.action;
    Reply reply;
    const bool media = state_ != TransportState::kNoMediaPresent;
    if (action == "SetAVTransportURI")
        return SetUri(request);
    if (action == "GetMediaInfo") {
        reply.out = {{"NrTracks", media ? "1" : "0"},
                     {"MediaDuration", MediaDuration()},
                     {"CurrentURI", uri_},
                     {"CurrentURIMetaData", metadata_},
                     {"NextURI", ""},
                     {"NextURIMetaData", ""},
                     {"PlayMedium", media ? "NETWORK" : "NONE"},
                     {"RecordMedium", kNotImplemented},
                     {"WriteStatus", kNotImplemented}};
    } else if (action == "GetTransportInfo") {
        reply.out = {{"CurrentTransportState", StateName(state_)},
                     {"CurrentTransportStatus", events_.Get(0, "TransportStatus")},
                     {"CurrentSpeed", "1"}};
    } else if (action == "GetPositionInfo") {
        const std::string position = FormatTime(media ? player_.PositionMs() : 0);
        reply.out = {{"Track", media ? "1" : "0"}, {"TrackDuration", MediaDuration()},
                     {"TrackMetaData", metadata_}, {"TrackURI", uri_},
                     {"RelTime", position},        {"AbsTime", position},
                     {"RelCount", kNoCounter},     {"AbsCount", kNoCounter}};
    } else if (action == "GetDeviceCapabilities") {
        reply.out = {{"PlayMedia", "NETWORK"},
                     {"RecMedia", kNotImplemented},
                     {"RecQualityModes", kNotImplemented}};
    } else if (action == "GetTransportSettings") {
        reply.out = {{"PlayMode", "NORMAL"}, {"RecQualityMode", kNotImplemented}};
    } else if (action == "GetCurrentTransportActions") {
        reply.out = {{"Actions", TransportActions(state_)}};
    } else if (action == "Play") {
        return Transport(Command::kPlay, request);
    } else if (action == "Pause") {
        return Transport(Command::kPause, request);
    } else if (action == "Stop") {
        return Transport(Command::kStop, request);
    } else if (action == "Seek") {
        return Transport(Command::kSeek, request);
    } else if (action == "Next") {
        return Transport(Command::kNext, request);
    } else if (action == "Previous") {
        return Transport(Command::kPrevious, request);
    } else {
        return Reply::Fault(401, "Invalid Action");
    }
    return reply;
}

Reply AVTransport::SetUri(const Request& request) {
    std::string uri;
    std::string metadata;
    if (!ReadArguments(request, {{"CurrentURI", &uri}, {"CurrentURIMetaData", &metadata}}))
        return Reply::Fault(402, "Invalid Args");
    const bool was_playing = state_ == TransportState::kPlaying;
    if (!uri.empty() && !player_.Load(uri, MetadataDuration(metadata)))
        return Reply::Fault(716, "Resource not found");
    if (uri.empty())
        player_.Stop();
    uri_ = uri;
    metadata_ = metadata;
    for (const char* name : {"AVTransportURI", "CurrentTrackURI"})
        events_.Set(0, name, uri_);
    for (const char* name : {"AVTransportURIMetaData", "CurrentTrackMetaData"})
        events_.Set(0, name, metadata_);
    events_.Set(0, "NumberOfTracks", uri_.empty() ? "0" : "1");
    events_.Set(0, "CurrentTrack", uri_.empty() ? "0" : "1");
    events_.Set(0, "PlaybackStorageMedium", uri_.empty() ? "NONE" : "NETWORK");
    events_.Set(0, "TransportStatus", "OK");
    if (uri_.empty()) {
        SetState(TransportState::kNoMediaPresent);
    } else if (was_playing) {
        // A renderer that was playing plays the new media.
        SetState(TransportState::kTransitioning);
        SetState(player_.Play() ? TransportState::kPlaying : TransportState::kStopped);
    } else {
        SetState(TransportState::kStopped);
    }
    for (const char* name : {"CurrentMediaDuration", "CurrentTrackDuration"})
        events_.Set(0, name, MediaDuration());
    return Reply();
}

Reply AVTransport::Transport(Command command, const Request& request) {
    if (!Allows(state_, command))
        return Reply::Fault(701, "Transition not available");
    std::string speed;
    std::string unit;
    std::string target;
    int64_t target_ms = 0;
    switch (command) {
        case Command::kPlay:
            if (!ReadArguments(request, {{"Speed", &speed}}))
                return Reply::Fault(402, "Invalid Args");
            if (speed != "1")
                return Reply::Fault(717, "Play speed not supported");
            if (state_ != TransportState::kPlaying) {
                SetState(TransportState::kTransitioning);
                SetState(player_.Play() ? TransportState::kPlaying : TransportState::kStopped);
            }
            break;
        case Command::kPause:
            if (!player_.Pause())
                return Reply::Fault(704, "Playing failed");
            SetState(TransportState::kPausedPlayback);
            break;
        case Command::kStop:
            player_.Stop();
            SetState(TransportState::kStopped);
            break;
        case Command::kSeek:
            if (!ReadArguments(request, {{"Unit", &unit}, {"Target", &target}}))
                return Reply::Fault(402, "Invalid Args");
            if (unit != "REL_TIME" && unit != "ABS_TIME")  // one track: the same clock
                return Reply::Fault(710, "Seek mode not supported");
            if (!ParseTime(target, target_ms) || !player_.Seek(target_ms))
                return Reply::Fault(711, "Illegal seek target");
            break;
        case Command::kNext:  // one track, none after it
            return Reply::Fault(711, "Illegal seek target");
        case Command::kPrevious:  // the start of the only track
            player_.Seek(0);
            break;
    }
    return Reply();
}

void AVTransport::OnEnd(bool error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == TransportState::kNoMediaPresent || state_ == TransportState::kStopped)
        return;
    events_.Set(0, "TransportStatus", error ? "ERROR_OCCURRED" : "OK");
    SetState(TransportState::kStopped);
}

void AVTransport::SetState(TransportState state) {
    state_ = state;
    events_.Set(0, "TransportState", StateName(state));
    events_.Set(0, "CurrentTransportActions", TransportActions(state));
}

std::string AVTransport::MediaDuration() {
    // Unknown (no media, or a pipeline still prerolling) reads as zero,
    // which every control point parses.
    return FormatTime(state_ == TransportState::kNoMediaPresent ? 0 : player_.DurationMs());
}

}  // namespace renderer
