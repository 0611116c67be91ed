// One accepted connection of a streaming server: reads one request, hands
// its head and body to the application's callbacks, and writes the response
// head and payloads the application supplies. Runs on the "ZelStrmIo"
// threads; every asynchronous operation is issued under the session mutex,
// and no callback runs with it held. Writes leave in the order they were
// asked for, one at a time, each buffer alive until its completion.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/weak_ptr.hpp>

#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>
#include "streaming/src/streaming_utils.h"

namespace zel_upnp {
namespace streaming {

class TCPServer;

class IncomingSession : public boost::enable_shared_from_this<IncomingSession> {
  public:
    // Longest wait for a complete request head after the connection came.
    static constexpr std::chrono::seconds kHeadTimeLimit{30};
    // Longest a body read or a write may go without completing: a peer that
    // stops reading (or sending) ends its session with on_status 4. Each
    // direction has a deadline of its own.
    static constexpr std::chrono::seconds kStallLimit{60};
    // Most bytes of a file payload sent in one turn of an io thread, so that
    // a fast reader cannot keep the thread, and stops wait at most a turn.
    static constexpr std::size_t kFileTurnBytes = 1 << 20;
    // Pause between the last payload written and closing the connection.
    static constexpr std::chrono::milliseconds kCloseDelay{20};

    IncomingSession(boost::asio::io_service& io_service, boost::weak_ptr<TCPServer> server,
                    const ServerAppCallbacks& callbacks, int server_id, int session_id);
    virtual ~IncomingSession();
    IncomingSession(const IncomingSession&) = delete;
    // The stall limit of deadlines armed from now on (kStallLimit unless
    // changed; tests shorten it).
    static void SetStallLimit(std::chrono::milliseconds limit);
    static std::chrono::milliseconds StallLimit();
    IncomingSession& operator=(const IncomingSession&) = delete;

    boost::asio::ip::tcp::socket& Socket() { return socket_; }
    int SessionId() const { return session_id_; }

    // Tells the application of the accepted connection (on_connect).
    void Announce();
    // Sets the socket options and starts reading the request head.
    void RegisterRead();
    int SendResponse(const ResHeaderInfo* head, bool last);
    int SendPayload(void* data, unsigned int length, bool last);
    // Queues length bytes of fd from offset on, sent with sendfile; fd is
    // duplicated, the duplicate closed when the write has ended.
    int SendFilePayload(int fd, int64_t offset, unsigned int length, bool last);
    // Closes the connection and leaves the server's list. With notify, an
    // announced session gets on_status 4 as its last callback; without, no
    // callback runs once this has returned (unless called from inside one).
    void ShutDown(bool notify = false);

  private:
    // A time limit of one direction; generation is bumped whenever the timer
    // is re-armed or cancelled, so that an expiry racing with that is void.
    struct Deadline {
        explicit Deadline(boost::asio::io_service& io_service) : timer(io_service) {}
        boost::asio::steady_timer timer;
        unsigned generation = 0;
    };

    void StartHeadRead();  // session mutex held
    void CallbackRead(const boost::system::error_code& error, std::size_t bytes);
    void DeliverRequest();
    void StartBodyRead();  // session mutex held
    void DataRecvdCallback(const boost::system::error_code& error, std::size_t bytes);
    // Queues a write in order; 0, or 1011 once the session is closed or
    // its last write is queued, 1012 when the queue is full. Session mutex
    // held.
    int QueueWrite(std::unique_ptr<PendingWrite> item);
    // Starts the front write unless one is on the wire or the request
    // callbacks have not returned yet. Session mutex held.
    void PumpWrites();
    void CallbackWrite(const boost::system::error_code& error);
    // Moves the front file write on by at most kFileTurnBytes while the
    // socket takes bytes, outside the session mutex, then goes on in a new
    // turn, waits for the socket to take more, or completes the write.
    // Session mutex not held.
    void SendFileStep(const boost::system::error_code& error);
    // One turn of sends on the socket; the error that ended the write, or
    // would_block / try_again to go on later. No lock held.
    boost::system::error_code SendFileTurn(PendingWrite& item, int sock);
    void WaitWritable();  // session mutex held
    // Answers with a bare head of that status and closes after it.
    void RegisterWriteWithErrorCode(int status);
    void ArmTimer(Deadline& deadline, std::chrono::steady_clock::duration limit);  // mutex held
    void CancelTimer(Deadline& deadline);                                          // mutex held
    void CloseSocket();  // session mutex held
    void Release();

    const ServerAppCallbacks callbacks_;
    const int server_id_;
    const int session_id_;
    boost::weak_ptr<TCPServer> server_;
    CallbackGate gate_;  // every application callback of the session

    boost::mutex mutex_;  // everything below
    boost::asio::ip::tcp::socket socket_;
    Deadline read_deadline_;               // head time limit, body stall limit
    Deadline write_deadline_;              // write stall limit, close delay
    char head_buffer_[kHeadReadSize];      // request head reads
    std::unique_ptr<char[]> body_buffer_;  // kReceiveBufferSize bytes, made at the first body read
    boost::shared_ptr<utils::HTTPInfo> request_;
    int request_type_;
    std::size_t head_bytes_;  // bytes fed to the parser before the head was complete
    FramingGuard framing_;
    WriteQueue writes_;
    bool headers_received_;
    bool chunked_;
    bool last_queued_;  // a write that ends the response is queued
    bool in_callback_;  // on_request or on_request_data is running
    bool active_;
    bool announced_;  // on_connect was called
    // A file turn runs outside the mutex with the socket's descriptor: a
    // close meanwhile only shuts the socket down, and the turn's end closes
    // it, so that the number cannot be reused under the turn.
    bool file_turn_;
};

}  // namespace streaming
}  // namespace zel_upnp
