// The two pieces of event delivery that know nothing of subscribers: one
// NOTIFY exchange on a connection of its own, and the merge of waiting
// property sets into one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>

namespace zel_upnp {
namespace cd_control {

// Bytes of a subscriber's answer read before the exchange gives up on
// finding the end of its head; an answer is a status line and a few headers.
const size_t kMaxNotifyAnswerHead = 8192;

// Sends one NOTIFY to host:port on a new connection and reads the answer's
// head; the connection then closes. Everything after construction runs on
// the thread that runs io (the eventing thread): Start and Cancel only post
// there. done is called exactly once, on that thread, with true when the
// subscriber answered with a 2xx status, and false when the connect, the
// write or the read failed, the deadline passed, or Cancel came first. A
// stopped io_context calls nothing.
class NotifyExchange : public boost::enable_shared_from_this<NotifyExchange> {
  public:
    typedef boost::function<void(bool delivered)> Done;

    NotifyExchange(boost::asio::io_context& io, const std::string& host, int port,
                   std::string message, int deadlineMs, Done done);

    void Start();
    void Cancel();

  private:
    void OnConnected(const boost::system::error_code& error);
    void OnWritten(const boost::system::error_code& error);
    void OnAnswer(const boost::system::error_code& error);
    void Finish(bool delivered);

    boost::asio::io_context& io_;
    boost::asio::ip::tcp::socket socket_;
    boost::asio::steady_timer deadline_;
    boost::asio::ip::tcp::endpoint endpoint_;
    bool endpointOk_ = false;
    const std::string message_;
    const int deadlineMs_;
    boost::asio::streambuf answer_;
    // Reset by Finish, which breaks the cycle through the owner's queue.
    Done done_;
    bool finished_ = false;
};

// Merges bodies (e:propertyset documents, oldest first) into merged: one
// property per variable name, carrying the latest value, in the order in
// which the names first appeared; the text around the properties is the
// first body's. false, and merged untouched, when a body is not a property
// set this can read (then nothing may be merged).
bool MergePropertySets(const std::vector<const std::string*>& bodies, std::string& merged);

}  // namespace cd_control
}  // namespace zel_upnp
