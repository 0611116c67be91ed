#include "network_layer/src/datagram_server.h"

#include <exception>
#include <string>

#include <boost/asio/error.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/callbackhandler.h"
#include "utils/src/common/peer_log_limit.h"
#include "utils/src/common/zel_log.h"
#include "utils/src/httpparser/httpparser.h"

namespace zel_upnp {
namespace network_layer {

using boost::asio::ip::udp;

namespace {

utils::PeerLogLimit g_peer_log_limit;

// True for the errors with which a pending receive ends when its socket is
// cancelled or closed under it.
bool IsReceiveCancellation(const boost::system::error_code& ec) {
    return ec == boost::asio::error::operation_aborted || ec == boost::asio::error::bad_descriptor;
}

}  // namespace

// ---------------------------------------------------------------------------
// Assembly
// ---------------------------------------------------------------------------

DatagramAssembly::DatagramAssembly()
    : request_(boost::make_shared<utils::HTTPInfo>()), pending_bytes_(0), failed_status_(0) {}

void DatagramAssembly::Reset() {
    // A fresh request rather than a cleaned one: nothing of the parser's
    // state may carry over into the next sender's message.
    request_ = boost::make_shared<utils::HTTPInfo>();
    pending_bytes_ = 0;
}

DatagramResult DatagramAssembly::Feed(const char* data, std::size_t length,
                                      const std::string& own_address, const udp::endpoint& sender) {
    if (pending_bytes_ != 0 &&
        (sender != pending_sender_ || pending_bytes_ + length > kMaxAssembledRequestSize)) {
        ZEL_LOGW(ZEL_CORE_NETWORK, "dropping %zu bytes of an unfinished request from %s:%d",
                 pending_bytes_, pending_sender_.address().to_string().c_str(),
                 static_cast<int>(pending_sender_.port()));
        Reset();
    }
    if (utils::Parse(data, static_cast<unsigned>(length), request_) != 0) {
        failed_status_ = request_->GetStatus();
        Reset();
        return DatagramResult::kParseFailure;
    }
    request_->SetParsingStatus(utils::PARSING_CONTINUE);
    // A datagram never carries a body the servers wait for: a finished head
    // is enough, whatever the parser thinks of the body.
    if (request_->GetState() != utils::MESSAGE_COMPLETE &&
        request_->GetStatus() < utils::STAGE_HEADERS_DONE) {
        pending_sender_ = sender;
        pending_bytes_ += length;
        return DatagramResult::kIncomplete;
    }
    pending_bytes_ = 0;
    request_->SetMyIpAddress(own_address);
    request_->SetClientIpAddress(sender.address().to_string());
    request_->SetClientPort(sender.port());
    return DatagramResult::kComplete;
}

boost::shared_ptr<utils::HTTPInfo> DatagramAssembly::TakeRequest() {
    boost::shared_ptr<utils::HTTPInfo> fresh = boost::make_shared<utils::HTTPInfo>();
    request_.swap(fresh);
    return fresh;
}

// ---------------------------------------------------------------------------
// Server
// ---------------------------------------------------------------------------

DatagramServer::DatagramServer(const std::string& interface_address,
                               const std::string& interface_name, int port,
                               boost::asio::io_service& io_service, const char* kind)
    : socket_(io_service),
      interface_address_(interface_address),
      interface_name_(interface_name),
      kind_(kind),
      stopped_(true),
      port_(port),
      run_(0) {}

DatagramServer::~DatagramServer() {
    boost::system::error_code ec;
    socket_.close(ec);
}

void DatagramServer::NotifySessionClosed(int /*session_id*/) {}

void DatagramServer::HandleFailureCondition(int /*session_id*/) {}

bool DatagramServer::WantsRequestFrom(const udp::endpoint& /*sender*/) {
    return true;
}

int DatagramServer::Start(int& port) {
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    if (socket_.is_open()) {
        // Rebinding a running socket would orphan its pending receive.
        ZEL_LOGE(ZEL_CORE_NETWORK, "%s already running on %s:%d", kind_, interface_address_.c_str(),
                 port_);
        return NL_SOCKET_FAILURE;
    }
    int bound_port = port;
    const int result = OpenLocked(bound_port);
    if (result != NL_SUCCESS)
        return result;
    assembly_.Reset();
    stopped_ = false;
    ++run_;
    port_ = bound_port;
    port = bound_port;
    StartReceiveLocked();
    ZEL_LOGI(ZEL_CORE_NETWORK, "%s Started: %s:%d", kind_, interface_address_.c_str(), port_);
    return NL_SUCCESS;
}

std::string DatagramServer::GetIpAddress() {
    return interface_address_;
}

std::string DatagramServer::GetInterfaceName() {
    return interface_name_;
}

int DatagramServer::GetPort() {
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    return port_;
}

std::size_t DatagramServer::PendingRequestBytes() {
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    return assembly_.PendingBytes();
}

int DatagramServer::Stop() {
    boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
    stopped_ = true;
    if (!socket_.is_open())
        return NL_SUCCESS;
    BeforeCloseLocked();
    boost::system::error_code ec;
    socket_.cancel(ec);
    if (ec)
        ZEL_LOGE(ZEL_CORE_NETWORK, "cancel!, error [%s]", ec.message().c_str());
    CloseSocketLocked();
    return NL_SUCCESS;
}

void DatagramServer::CloseSocketLocked() {
    if (!socket_.is_open())
        return;
    boost::system::error_code ec;
    socket_.close(ec);
    if (ec)
        ZEL_LOGE(ZEL_CORE_NETWORK, "Failed to close %s socket!, error [%s]", kind_,
                 ec.message().c_str());
}

void DatagramServer::StartReceiveLocked() {
    if (stopped_ || !socket_.is_open())
        return;
    boost::shared_ptr<DatagramServer> self = shared_from_this();
    const unsigned run = run_;
    socket_.async_receive_from(boost::asio::buffer(buffer_, kMaxDatagramSize), sender_,
                               [self, run](const boost::system::error_code& ec, std::size_t bytes) {
                                   self->CallbackReceive(run, ec, bytes);
                               });
}

void DatagramServer::CallbackReceive(unsigned run, const boost::system::error_code& ec,
                                     std::size_t bytes) {
    boost::shared_ptr<utils::HTTPInfo> complete;
    {
        boost::lock_guard<boost::recursive_mutex> lock(server_lock_);
        // A receive of an earlier run was cancelled by a Stop that a later
        // Start has already undone: the receive of the new run is pending.
        if (run != run_)
            return;
        if (stopped_) {
            CloseSocketLocked();
            return;
        }
        if (IsReceiveCancellation(ec))
            return;
        try {
            if (ec || bytes == 0) {
                if (ec)
                    ZEL_LOGE(ZEL_CORE_NETWORK, "%s receive error [%s]", kind_,
                             ec.message().c_str());
            } else {
                switch (assembly_.Feed(buffer_, bytes, interface_address_, sender_)) {
                    case DatagramResult::kParseFailure: {
                        // The sender's bytes are never logged, and a sender
                        // gets one line a minute.
                        const std::string sender = sender_.address().to_string();
                        if (g_peer_log_limit.Allow(sender))
                            ZEL_LOGW(ZEL_CORE_NETWORK, "%s datagram from %s refused (stage %d)",
                                     kind_, sender.c_str(), assembly_.LastFailedStatus());
                        break;
                    }
                    case DatagramResult::kIncomplete:
                        break;
                    case DatagramResult::kComplete:
                        if (WantsRequestFrom(sender_))
                            complete = assembly_.TakeRequest();
                        else
                            assembly_.Reset();
                        break;
                }
            }
        } catch (const std::exception& e) {
            ZEL_LOGE(ZEL_CORE_NETWORK, "%s dropped a datagram: %s", kind_, e.what());
            assembly_.Reset();
        }
        // Re-armed before the hand-off: the next datagram does not wait for
        // the dispatch core.
        StartReceiveLocked();
    }
    if (!complete)
        return;
    CallBackHandler* dispatch = CallBackHandler::GetInstance();
    if (dispatch == nullptr || dispatch->InvokeUDPRequestHandler(complete) != NL_SUCCESS)
        ZEL_LOGE(ZEL_CORE_NETWORK, "Invoke UDP Request Handler failed.");
}

}  // namespace network_layer
}  // namespace zel_upnp
