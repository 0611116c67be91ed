// An asynchronous streaming client: one connection to a media server, one
// request at a time, the response delivered through ClientAppCallbacks. Its
// handlers run on the "ZelStrmIo" threads; asynchronous operations are
// issued under the session mutex and no callback runs with it held. Writes
// leave in the order asked for, one at a time; one read at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>
#include "streaming/src/streaming_utils.h"

namespace zel_upnp {
namespace streaming {

class StreamingManager;

class OutgoingSession : public boost::enable_shared_from_this<OutgoingSession> {
  public:
    OutgoingSession(boost::asio::io_service& io_service, std::weak_ptr<StreamingManager> manager,
                    const ClientAppCallbacks& callbacks, int client_id);
    virtual ~OutgoingSession();
    OutgoingSession(const OutgoingSession&) = delete;
    OutgoingSession& operator=(const OutgoingSession&) = delete;

    // Resolves the address and starts connecting; 0 or 1006.
    int Connect(const std::string& address, int port);
    // Sends the head now, or once connected; 0 or 1.
    int SendRequest(const ReqHeaderInfo* head);
    int SendPayload(void* data, unsigned int length, bool last);
    // Closes the connection; no callback of the session runs once this has
    // returned (unless called from inside one).
    void CloseConnection();

  private:
    void CallbackConnect(const boost::system::error_code& error);
    // Queues a write; 0, 1011 when closed, 1012 when the queue is full.
    // Session mutex held.
    int QueueWrite(std::unique_ptr<PendingWrite> item);
    void PumpWrites();  // session mutex held
    void CallbackWrite(const boost::system::error_code& error);
    void StartRead();  // session mutex held
    void CallbackRead(const boost::system::error_code& error, std::size_t bytes);
    // Handles the bytes of a read while the response head is incomplete.
    void HeadBytes(const char* data, std::size_t size);
    void DataRecvdCallback(const boost::system::error_code& error, std::size_t bytes);
    // Ends the session with on_status(code) and leaves the manager.
    void Fail(int code);
    void ShutDown();  // session mutex held

    const std::weak_ptr<StreamingManager> manager_;
    const ClientAppCallbacks callbacks_;
    const int session_id_;
    CallbackGate gate_;  // every application callback of the session

    boost::mutex mutex_;  // everything below
    boost::asio::ip::tcp::socket socket_;
    boost::asio::ip::tcp::resolver resolver_;
    std::string address_;
    int port_;
    int client_handler_id_;
    int request_type_;
    WriteQueue writes_;
    std::string head_text_;  // bytes of a response head not complete yet
    boost::shared_ptr<utils::HTTPInfo> response_;
    std::unique_ptr<char[]> buffer_;  // kReceiveBufferSize bytes
    std::size_t head_bytes_;
    FramingGuard framing_;
    bool fully_sent_;
    bool request_chunked_;
    bool response_chunked_;
    bool response_has_length_;
    bool continue_seen_;
    bool response_complete_;  // the final response was delivered whole
    bool reading_;
    bool active_;
    bool connected_;
};

}  // namespace streaming
}  // namespace zel_upnp
