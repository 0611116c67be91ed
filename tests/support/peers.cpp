#include "support/peers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>

#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/datagram_server.h"

namespace zel_test {

namespace {

constexpr int kMulticastHops = 1;
constexpr int kDecimal = 10;
const char kHeadEnd[] = "\r\n\r\n";
constexpr size_t kHeadEndSize = sizeof(kHeadEnd) - 1;

sockaddr_in Endpoint(const std::string& ip, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    return addr;
}

// Entries of a /proc directory other than "." and "..", by name.
std::vector<std::string> DirEntries(const char* path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

size_t ContentLength(const std::string& head) {
    const char kName[] = "\r\ncontent-length:";
    std::string lower(head);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = lower.find(kName);
    if (at == std::string::npos)
        return 0;
    return static_cast<size_t>(
        std::strtoul(head.c_str() + at + sizeof(kName) - 1, nullptr, kDecimal));
}

}  // namespace

PeerSocket::PeerSocket(bool datagram)
    : fd_(socket(AF_INET, datagram ? SOCK_DGRAM : SOCK_STREAM, 0)) {
    timeval tv{};
    tv.tv_sec =
        static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(kTestWait).count());
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    int one = 1;
    if (!datagram)
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

PeerSocket::~PeerSocket() {
    close(fd_);
}

bool PeerSocket::Connect(const std::string& ip, int port) {
    sockaddr_in addr = Endpoint(ip, port);
    return connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

bool PeerSocket::Send(const std::string& data) {
    return send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

bool PeerSocket::ReadToClose(std::string& received) {
    char buffer[kPeerReadSize];
    for (;;) {
        const ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n <= 0)
            return n == 0 || errno == ECONNRESET;
        received.append(buffer, static_cast<size_t>(n));
    }
}

bool PeerSocket::ClosedWithin(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[kPeerReadSize];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, std::max<int>(0, static_cast<int>(left.count()))) <= 0)
            return false;
        const ssize_t n = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            return true;
    }
}

void PeerSocket::SetReset() {
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
}

int PeerSocket::LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kTestPoll);
    }
    return true;
}

std::unique_ptr<NetnsTopology> OpenSuiteTopology(int peers) {
    if (!NetnsTopology::Available())
        return nullptr;
    std::unique_ptr<NetnsTopology> topo(new NetnsTopology(peers));
    if (!topo->Ok() || !topo->EnterDevice())
        topo.reset();
    return topo;
}

bool CanConnect(const std::string& ns, const std::string& ip, int port) {
    bool connected = false;
    NetnsTopology::RunIn(ns, [&] { connected = PeerSocket().Connect(ip, port); });
    return connected;
}

std::string TcpExchange(const std::string& ns, const std::string& ip, int port,
                        const std::string& request) {
    std::string received;
    NetnsTopology::RunIn(ns, [&] {
        PeerSocket peer;
        if (peer.Connect(ip, port) && peer.Send(request))
            peer.ReadToClose(received);
    });
    return received;
}

bool Serves(const std::string& ns, const std::string& ip, int port) {
    return TcpExchange(ns, ip, port, "GET / HTTP/1.1\r\nHOST: device\r\n\r\n") ==
           zel_upnp::network_layer::UnmatchedRequestResponse();
}

bool SendDatagram(const std::string& ns, const std::string& from_ip, const std::string& ip,
                  int port, const std::string& data) {
    bool sent = false;
    NetnsTopology::RunIn(ns, [&] {
        PeerSocket peer(true);
        in_addr local{};
        inet_pton(AF_INET, from_ip.c_str(), &local);
        setsockopt(peer.fd(), IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof(local));
        setsockopt(peer.fd(), IPPROTO_IP, IP_MULTICAST_TTL, &kMulticastHops,
                   sizeof(kMulticastHops));
        sockaddr_in addr = Endpoint(ip, port);
        sent = sendto(peer.fd(), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                      sizeof(addr)) == static_cast<ssize_t>(data.size());
    });
    return sent;
}

size_t CountThreads() {
    return DirEntries("/proc/self/task").size();
}

// Without the descriptor the directory stream held while it was read.
size_t CountDescriptors() {
    return DirEntries("/proc/self/fd").size() - 1;
}

std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    for (const std::string& id : DirEntries("/proc/self/task")) {
        std::ifstream comm("/proc/self/task/" + id + "/comm");
        std::string name;
        if (std::getline(comm, name))
            names.push_back(name);
    }
    return names;
}

size_t CountUdpSocketsOnPort(int port) {
    std::ifstream table("/proc/thread-self/net/udp");
    std::string line;
    std::getline(table, line);  // column titles
    char wanted[8];
    std::snprintf(wanted, sizeof(wanted), ":%04X", port);
    const size_t wanted_size = std::string(wanted).size();
    size_t count = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local.size() >= wanted_size &&
            local.compare(local.size() - wanted_size, wanted_size, wanted) == 0)
            ++count;
    }
    return count;
}

std::vector<UdpRequestRecorder::Request> UdpRequestRecorder::WithHeader(const char* name,
                                                                        const std::string& value) {
    std::vector<Request> found;
    for (const Request& request : All()) {
        std::string got;
        if (request->GetHeaderValue(name, got) == 0 && got == value)
            found.push_back(request);
    }
    return found;
}

UdpRequestRecorder::Request UdpRequestRecorder::WaitForHeader(const char* name,
                                                              const std::string& value) {
    std::vector<Request> found;
    WaitUntil([&] { return !(found = WithHeader(name, value)).empty(); });
    return found.empty() ? nullptr : found.front();
}

DispatchHarness::DispatchHarness() : recorder_(boost::make_shared<UdpRequestRecorder>()) {
    auto* dispatch = zel_upnp::network_layer::CallBackHandler::CreateInstance();
    // An empty pattern matches every datagram.
    ok_ = dispatch != nullptr && dispatch->StartCallbackThreads() == 0 &&
          dispatch->RegisterUDPPattern({""}, recorder_, id_) == 0;
}

DispatchHarness::~DispatchHarness() {
    zel_upnp::network_layer::CallBackHandler::DestroyInstance();
}

GroupMember::GroupMember(const std::string& ns, const std::string& group, int port,
                         const std::string& interface_address)
    : socket_(io_) {
    using boost::asio::ip::udp;
    auto open = [&] {
        boost::system::error_code ec;
        socket_.open(udp::v4(), ec);
        if (!ec)
            socket_.set_option(udp::socket::reuse_address(true), ec);
        if (!ec)
            socket_.bind(udp::endpoint(boost::asio::ip::address_v4::any(),
                                       static_cast<unsigned short>(port)),
                         ec);
        if (!ec) {
            socket_.set_option(boost::asio::ip::multicast::join_group(
                                   boost::asio::ip::make_address_v4(group),
                                   boost::asio::ip::make_address_v4(interface_address)),
                               ec);
        }
        if (!ec)
            socket_.non_blocking(true, ec);
        ok_ = !ec;
    };
    if (ns.empty())
        open();
    else
        NetnsTopology::RunIn(ns, open);
}

bool GroupMember::Receive(std::string& data, boost::asio::ip::udp::endpoint& from,
                          std::chrono::milliseconds timeout) {
    char buffer[zel_upnp::network_layer::kDatagramBufferSize];
    return WaitUntil(
        [&] {
            boost::system::error_code ec;
            const size_t n = socket_.receive_from(boost::asio::buffer(buffer), from, 0, ec);
            if (ec)
                return false;
            data.assign(buffer, n);
            return true;
        },
        timeout);
}

bool GroupMember::ReceiveFrom(const std::string& sender) {
    const auto deadline = std::chrono::steady_clock::now() + kTestWait;
    std::string data;
    boost::asio::ip::udp::endpoint from;
    while (Receive(data, from,
                   std::chrono::duration_cast<std::chrono::milliseconds>(
                       deadline - std::chrono::steady_clock::now()))) {
        if (from.address().to_string() == sender)
            return true;
    }
    return false;
}

ScriptedPeer::ScriptedPeer(Script script, const std::string& address)
    : script_(std::move(script)), acceptor_(io_) {
    using boost::asio::ip::tcp;
    boost::system::error_code ec;
    const tcp::endpoint endpoint(boost::asio::ip::make_address(address, ec), 0);
    if (!ec)
        acceptor_.open(endpoint.protocol(), ec);
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

ScriptedPeer::~ScriptedPeer() {
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

std::vector<std::string> ScriptedPeer::Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<PeerEnd> ScriptedPeer::Ends() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ends_;
}

bool ScriptedPeer::WaitForConnections(std::size_t n) {
    return WaitUntil([this, n] { return Requests().size() >= n; });
}

bool ScriptedPeer::WaitForEnds(std::size_t n) {
    return WaitUntil([this, n] { return Ends().size() >= n; });
}

PeerEnd ScriptedPeer::WaitPeerGone(Socket& socket) {
    const auto deadline = std::chrono::steady_clock::now() + kTestWait;
    PeerEnd end = PeerEnd::kOpen;
    char buffer[kPeerReadSize];
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{socket.native_handle(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(kTestPoll.count())) <= 0)
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

bool ScriptedPeer::Send(Socket& socket, const std::string& data) {
    boost::system::error_code ec;
    boost::asio::write(socket, boost::asio::buffer(data), ec);
    return !ec;
}

void ScriptedPeer::Reset(Socket& socket) {
    boost::system::error_code ec;
    socket.set_option(boost::asio::socket_base::linger(true, 0), ec);
    socket.close(ec);
}

void ScriptedPeer::AcceptLoop() {
    while (!stop_) {
        pollfd pfd{acceptor_.native_handle(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(kTestPoll.count())) <= 0)
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

void ScriptedPeer::Serve(Socket& socket) {
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
std::string ScriptedPeer::ReadRequest(Socket& socket) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + kTestWait;
    char buffer[kPeerReadSize];
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        const size_t head_end = data.find(kHeadEnd);
        if (head_end != std::string::npos &&
            data.size() >= head_end + kHeadEndSize + ContentLength(data.substr(0, head_end)))
            break;
        pollfd pfd{socket.native_handle(), POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(kTestPoll.count())) <= 0)
            continue;
        const ssize_t n = ::recv(socket.native_handle(), buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

ScriptedPeer::Script Answer(const std::string& response) {
    return [response](ScriptedPeer&, ScriptedPeer::Socket& socket, const std::string&) {
        ScriptedPeer::Send(socket, response);
    };
}

ScriptedPeer::Script Silent() {
    return [](ScriptedPeer& peer, ScriptedPeer::Socket& socket, const std::string&) {
        peer.WaitPeerGone(socket);
    };
}

int ClosedPort() {
    boost::asio::io_service io;
    boost::asio::ip::tcp::acceptor acceptor(io);
    boost::system::error_code ec;
    acceptor.open(boost::asio::ip::tcp::v4(), ec);
    acceptor.bind(boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0), ec);
    const int port = acceptor.local_endpoint(ec).port();
    acceptor.close(ec);
    return port;
}

const char kOkResponse[] = "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 2\r\n\r\nok";

int AnsweringListener::OnTCPRequestReceived(Request request, void* session) {
    namespace nl = zel_upnp::network_layer;
    requests_.Add(request);
    if (session != nullptr)
        sessions_.Add(static_cast<nl::SessionContext*>(session)->session);
    int result = 0;
    if (mode == kAsync) {
        std::string* response = new std::string(answer);
        result = nl::SendResponsePacket(response, static_cast<int>(response->size()), session);
        if (result != 0)
            delete response;
    } else {
        result = nl::SendSyncResponsePacket(answer, static_cast<int>(answer.size()), session);
    }
    results_.Add(result);
    return 0;
}

int AnsweringListener::Result(size_t index) {
    return results_.WaitFor(index + 1) ? results_.All()[index] : kNoResult;
}

int ResponseRecorder::OnResponseReceived(boost::shared_ptr<zel_upnp::utils::HTTPInfo> response,
                                         const int& sessionId) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    Add(Call{sessionId, response, name});
    return 0;
}

}  // namespace zel_test
