// A synchronous streaming client: every call blocks the application's
// thread. Only the address resolution and the connect run on the
// "ZelStrmIo" threads, asynchronously and through the session's strand, so
// that a peer that never answers holds no pool thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/io_service_strand.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include <zel_upnp/streaming.h>
#include <zel_upnp/utils.h>
#include "streaming/src/streaming_utils.h"

namespace zel_upnp {
namespace streaming {

class OutgoingSyncSession : public boost::enable_shared_from_this<OutgoingSyncSession> {
  public:
    // Longest wait for the address to resolve and the connection to come up;
    // past it the connect is cancelled.
    static constexpr int kResolveWaitSeconds = 5;
    static constexpr std::size_t kReadBufferSize = 8192;

    OutgoingSyncSession(boost::asio::io_service& io_service, int client_id);
    virtual ~OutgoingSyncSession();
    OutgoingSyncSession(const OutgoingSyncSession&) = delete;
    OutgoingSyncSession& operator=(const OutgoingSyncSession&) = delete;

    int Connect(const std::string& address, int port);
    int WriteHead(const ReqHeaderInfo* head);
    int WritePayload(void* data, unsigned int length, bool last);
    int ReadHeader(ResHeaderInfo** head, void** body, unsigned int& body_length, bool& complete);
    int ReadData(void** data, unsigned int& length, bool& complete);
    // Reads body bytes into the caller's buffer; a length-delimited body or
    // one that runs until close goes there straight from the socket.
    int ReadDataInto(void* buffer, unsigned int capacity, unsigned int& length, bool& complete);
    void Close();

  private:
    int WriteAll(const char* data, std::size_t length);
    // One read fed to the parser; 0, 2004 or 2009.
    int ReadSome(std::size_t& bytes);
    // Bytes fed to the parser; 0 or 2009.
    int Feed(const char* data, std::size_t bytes);
    // Ends a connect attempt (strand).
    void ConnectDone(bool connected);
    bool ResponseComplete() const;
    // Takes length body bytes handed out off body_left_.
    void CountBody(std::size_t length);

    const int client_id_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::ip::tcp::resolver resolver_;
    boost::asio::io_service::strand strand_;  // resolver_, and socket_ while connecting
    boost::mutex resolve_mutex_;              // resolve_done_, connected_, resolving_, abandoned_
    boost::condition_variable resolve_complete_condition_;
    bool resolve_done_;
    bool resolving_;
    bool abandoned_;  // the caller stopped waiting for the connect under way
    bool connected_;
    bool closed_;
    bool request_chunked_;
    int request_type_;
    bool head_read_;
    std::size_t head_bytes_;
    FramingGuard framing_;
    boost::shared_ptr<utils::HTTPInfo> response_;
    std::string head_text_;  // bytes of the head being read
    std::string carried_;    // bytes after an interim (100) head: the next head's
    // Body bytes of a length-delimited response not handed out yet. Reads
    // that bypass the parser count them down; once they did, this, not the
    // parser, says when the body is complete.
    uint64_t body_left_;
    bool direct_;

    char buffer_[kReadBufferSize];
};

}  // namespace streaming
}  // namespace zel_upnp
