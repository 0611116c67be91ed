// Helpers of the outgoing client tests: a scripted HTTP peer on a loopback
// (or namespace) address whose every connection runs a script of the test's
// choosing, a recorder of the responses the dispatch core delivers, and
// bounded waits. Every wait of these helpers ends by its deadline.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/shared_ptr.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>

namespace zel_test {

// Long enough for a loaded sanitizer build; a passing test never waits it out.
constexpr std::chrono::milliseconds kClientWait{10000};
// Poll period of the accept loop and of the condition polls below.
constexpr std::chrono::milliseconds kClientPoll{5};
// After everything that could still deliver has been joined, how long a test
// gives the dispatch core's response workers to show a call that must not
// come. Only an absence is asserted with it.
constexpr std::chrono::milliseconds kNoCallGrace{200};
constexpr std::size_t kPeerReadSize = 4096;

// Waits until pred holds; false on time-out.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = kClientWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kClientPoll);
    }
    return true;
}

// How a connection of the scripted peer ended on the client's side.
enum class PeerEnd { kOpen, kClosed, kReset };

// One TCP listener; each accepted connection gets a thread of its own that
// reads the request head (and a Content-Length body) and runs the script.
// The destructor stops accepting, wakes scripts waiting in WaitPeerGone and
// joins every thread.
class ScriptedPeer {
  public:
    using Socket = boost::asio::ip::tcp::socket;
    using Script =
        std::function<void(ScriptedPeer& peer, Socket& socket, const std::string& request)>;

    explicit ScriptedPeer(Script script, const std::string& address = "127.0.0.1")
        : script_(std::move(script)), acceptor_(io_) {
        using boost::asio::ip::tcp;
        boost::system::error_code ec;
        const tcp::endpoint endpoint(boost::asio::ip::make_address(address, ec), 0);
        if (!ec)
            acceptor_.open(tcp::v4(), ec);
        if (!ec)
            acceptor_.bind(endpoint, ec);
        if (!ec)
            acceptor_.listen(boost::asio::socket_base::max_listen_connections, ec);
        if (!ec)
            acceptor_.non_blocking(true, ec);
        if (ec)
            return;
        port_ = acceptor_.local_endpoint(ec).port();
        ok_ = !ec;
        accept_thread_ = std::thread([this] { AcceptLoop(); });
    }

    ~ScriptedPeer() {
        stop_ = true;
        if (accept_thread_.joinable())
            accept_thread_.join();
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            threads.swap(threads_);
        }
        for (std::thread& t : threads)
            t.join();
    }

    bool Ok() const { return ok_; }
    int Port() const { return port_; }

    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    std::size_t Connections() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_.size();
    }
    std::vector<PeerEnd> Ends() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ends_;
    }
    bool WaitForConnections(std::size_t n) {
        return WaitUntil([this, n] { return Connections() >= n; });
    }
    bool WaitForEnds(std::size_t n) {
        return WaitUntil([this, n] {
            std::lock_guard<std::mutex> lock(mutex_);
            return ends_.size() >= n;
        });
    }

    // For scripts: blocks until the client closes or resets the connection,
    // the peer is destroyed or the wait runs out; records how it ended.
    PeerEnd WaitPeerGone(Socket& socket) {
        const auto deadline = std::chrono::steady_clock::now() + kClientWait;
        PeerEnd end = PeerEnd::kOpen;
        char buffer[kPeerReadSize];
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{socket.native_handle(), POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(kClientPoll.count())) <= 0)
                continue;
            const ssize_t n = ::recv(socket.native_handle(), buffer, sizeof(buffer), 0);
            if (n == 0) {
                end = PeerEnd::kClosed;
                break;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                end = errno == ECONNRESET ? PeerEnd::kReset : PeerEnd::kClosed;
                break;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ends_.push_back(end);
        return end;
    }

    // For scripts: writes all of data; false when the client went away.
    static bool Send(Socket& socket, const std::string& data) {
        boost::system::error_code ec;
        boost::asio::write(socket, boost::asio::buffer(data), ec);
        return !ec;
    }

    // For scripts: closes so that the client sees a reset.
    static void Reset(Socket& socket) {
        boost::system::error_code ec;
        socket.set_option(boost::asio::socket_base::linger(true, 0), ec);
        socket.close(ec);
    }

  private:
    void AcceptLoop() {
        while (!stop_) {
            pollfd pfd{acceptor_.native_handle(), POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(kClientPoll.count())) <= 0)
                continue;
            auto socket = std::make_shared<Socket>(io_);
            boost::system::error_code ec;
            acceptor_.accept(*socket, ec);
            if (ec)
                continue;
            std::lock_guard<std::mutex> lock(mutex_);
            threads_.emplace_back([this, socket] { Serve(*socket); });
        }
    }

    void Serve(Socket& socket) {
        const std::string request = ReadRequest(socket);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        script_(*this, socket, request);
        boost::system::error_code ec;
        socket.close(ec);
    }

    // The head and, when it announces one, a Content-Length body; bounded.
    std::string ReadRequest(Socket& socket) {
        std::string data;
        const auto deadline = std::chrono::steady_clock::now() + kClientWait;
        char buffer[kPeerReadSize];
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            const std::size_t head_end = data.find("\r\n\r\n");
            if (head_end != std::string::npos &&
                data.size() >= head_end + 4 + ContentLength(data.substr(0, head_end)))
                break;
            pollfd pfd{socket.native_handle(), POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(kClientPoll.count())) <= 0)
                continue;
            const ssize_t n = ::recv(socket.native_handle(), buffer, sizeof(buffer), 0);
            if (n <= 0)
                break;
            data.append(buffer, static_cast<std::size_t>(n));
        }
        return data;
    }

    static std::size_t ContentLength(const std::string& head) {
        const char kName[] = "\r\ncontent-length:";
        std::string lower(head);
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::size_t at = lower.find(kName);
        if (at == std::string::npos)
            return 0;
        return static_cast<std::size_t>(
            std::strtoul(head.c_str() + at + sizeof(kName) - 1, nullptr, 10));
    }

    Script script_;
    boost::asio::io_service io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    bool ok_ = false;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;  // threads_, requests_, ends_
    std::vector<std::thread> threads_;
    std::vector<std::string> requests_;
    std::vector<PeerEnd> ends_;
    std::thread accept_thread_;
};

// A ResponseListener that records every call; called on the dispatch core's
// "ZelTcpRes" workers, several at a time.
class ResponseRecorder : public zel_upnp::network_layer::ResponseListener {
  public:
    struct Call {
        int session_id;
        boost::shared_ptr<zel_upnp::utils::HTTPInfo> response;
        std::string thread_name;
    };

    int OnResponseReceived(boost::shared_ptr<zel_upnp::utils::HTTPInfo> response,
                           const int& sessionId) override {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(Call{sessionId, response, name});
        cv_.notify_all();
        return 0;
    }

    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_.size();
    }
    bool WaitForCalls(std::size_t n, std::chrono::milliseconds timeout = kClientWait) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [this, n] { return calls_.size() >= n; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
};

}  // namespace zel_test
