// Round trips of the outgoing client's asynchronous requests (one connection
// per request, response through the dispatch core) against a small HTTP
// responder on loopback, with 1, 8 and 64 requests in flight; wrk driving the
// same load (one connection per request, "Connection: close") against the
// same responder in the same run; and the heap taken per in-flight session.
//
// Run it in a network namespace of its own (bench/client_bench.sh does), so
// that a few hundred thousand loopback connections use that namespace's
// ports and nobody else's.
#include <malloc.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/bind/bind.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>

#include <zel_upnp/network_layer.h>
#include "network_layer/src/callbackhandler.h"
#include "network_layer/src/clientmanager.h"

namespace {

namespace nl = zel_upnp::network_layer;
using boost::asio::ip::tcp;

constexpr char kLoopback[] = "127.0.0.1";
constexpr std::size_t kResponderReadSize = 4096;
constexpr int kWrkSeconds = 3;
constexpr int kWrkThreads = 1;
constexpr int kSessionsForMemory = 512;
constexpr std::chrono::seconds kDrainWait{30};
constexpr std::chrono::milliseconds kPoll{1};

const std::string kResponse = "HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 2\r\nCONNECTION: close\r\n\r\nok";

// One io thread serving every connection: reads a request head, answers (or
// not), then waits for the client to close, so that the side that closes
// first is the client (which resets: no TIME_WAIT to exhaust ports with).
class Responder {
  public:
    explicit Responder(bool answer)
        : answer_(answer),
          acceptor_(io_, tcp::endpoint(boost::asio::ip::make_address(kLoopback), 0)) {
        acceptor_.listen(boost::asio::socket_base::max_listen_connections);
        Accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~Responder() {
        io_.stop();
        thread_.join();
    }
    int Port() const { return acceptor_.local_endpoint().port(); }
    long Requests() const { return requests_; }

  private:
    struct Connection : boost::enable_shared_from_this<Connection> {
        Connection(boost::asio::io_service& io, Responder& owner) : socket(io), responder(owner) {}
        void Read() {
            socket.async_read_some(
                boost::asio::buffer(buffer),
                [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
                    self->OnRead(ec, n);
                });
        }
        void OnRead(boost::system::error_code ec, std::size_t n) {
            if (ec)
                return;  // the client closed: done
            if (!answered) {
                head.append(buffer, n);
                if (head.find("\r\n\r\n") != std::string::npos) {
                    answered = true;
                    ++responder.requests_;
                    if (responder.answer_)
                        boost::asio::write(socket, boost::asio::buffer(kResponse), ec);
                }
            }
            Read();
        }
        tcp::socket socket;
        Responder& responder;
        char buffer[kResponderReadSize];
        std::string head;
        bool answered = false;
    };

    void Accept() {
        auto connection = boost::make_shared<Connection>(io_, *this);
        acceptor_.async_accept(connection->socket,
                               [this, connection](boost::system::error_code ec) {
                                   if (!ec)
                                       connection->Read();
                                   Accept();
                               });
    }

    const bool answer_;
    boost::asio::io_service io_;
    tcp::acceptor acceptor_;
    std::atomic<long> requests_{0};
    std::thread thread_;
};

// Keeps the count of requests in flight; responses arrive on the dispatch
// core's response threads.
class Window : public nl::ResponseListener {
  public:
    int OnResponseReceived(boost::shared_ptr<zel_upnp::utils::HTTPInfo>, const int&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        --in_flight_;
        ++done_;
        cv_.notify_all();
        return 0;
    }
    // Waits for a free slot and takes it; false when none came in time.
    bool Acquire(int limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, kDrainWait, [&] { return in_flight_ < limit; }))
            return false;
        ++in_flight_;
        return true;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        --in_flight_;
        cv_.notify_all();
    }
    bool Drain() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, kDrainWait, [&] { return in_flight_ == 0; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int in_flight_ = 0;
    long done_ = 0;
};

void BringUp() {
    nl::CallBackHandler::CreateInstance()->StartCallbackThreads();
    nl::ClientManager::CreateInstance()->StartClientThreads(nl::ClientManager::kClientThreads);
}

void TearDown() {
    nl::ClientManager::DestroyInstance();
    nl::CallBackHandler::DestroyInstance();
}

void BM_ClientRoundTrips(benchmark::State& state) {
    const int in_flight = static_cast<int>(state.range(0));
    Responder responder(true);
    BringUp();
    auto window = boost::make_shared<Window>();
    const std::string request =
        "NOTIFY /evt HTTP/1.1\r\nHOST: 127.0.0.1:" + std::to_string(responder.Port()) +
        "\r\nNT: upnp:event\r\nCONTENT-LENGTH: 0\r\n\r\n";
    for (auto _ : state) {
        if (!window->Acquire(in_flight)) {
            state.SkipWithError("a response did not come back");
            break;
        }
        int id = 0;
        if (nl::SendTCPHTTPPacket(kLoopback, responder.Port(), request, 0, window, id) != 0)
            window->Release();
    }
    if (!window->Drain())
        state.SkipWithError("responses still missing at the end");
    state.SetItemsProcessed(state.iterations());
    state.counters["req_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    TearDown();
}
BENCHMARK(BM_ClientRoundTrips)->Arg(1)->Arg(8)->Arg(64)->UseRealTime()->MinTime(2.0);

// wrk against the same responder, with as many connections as requests in
// flight above; its own figure is reported as req_per_s.
void BM_WrkSameLoad(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    Responder responder(true);
    for (auto _ : state) {
        const std::string command =
            "wrk -t" + std::to_string(kWrkThreads) + " -c" + std::to_string(connections) + " -d" +
            std::to_string(kWrkSeconds) + "s -H 'Connection: close' http://" + kLoopback + ":" +
            std::to_string(responder.Port()) + "/ 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            state.SkipWithError("wrk could not be started");
            break;
        }
        double rate = 0;
        char line[512];
        while (fgets(line, sizeof(line), pipe) != nullptr)
            std::sscanf(line, "Requests/sec: %lf", &rate);
        if (pclose(pipe) != 0 || rate <= 0) {
            state.SkipWithError("wrk failed (is it installed?)");
            break;
        }
        state.SetIterationTime(kWrkSeconds);
        state.counters["req_per_s"] = rate;
    }
}
BENCHMARK(BM_WrkSameLoad)->Arg(1)->Arg(8)->Arg(64)->UseManualTime()->Iterations(1);

// Heap in use (malloc's count, all threads) per asynchronous request that
// waits for its response: the session, its socket and timer, the parser's
// HTTPInfo and the dispatch core's listener entry. Kernel socket buffers are
// not counted.
void BM_HeapPerInFlightSession(benchmark::State& state) {
    Responder responder(false);
    BringUp();
    auto window = boost::make_shared<Window>();
    const std::string request = "NOTIFY /evt HTTP/1.1\r\nHOST: 127.0.0.1\r\n\r\n";
    for (auto _ : state) {
        std::vector<int> ids;
        ids.reserve(kSessionsForMemory);
        malloc_trim(0);
        const std::size_t before = mallinfo2().uordblks;
        for (int i = 0; i < kSessionsForMemory; ++i) {
            int id = 0;
            nl::SendTCPHTTPPacket(kLoopback, responder.Port(), request, 0, window, id);
            ids.push_back(id);
        }
        // Every session connected, wrote and waits in its read.
        const auto deadline = std::chrono::steady_clock::now() + kDrainWait;
        while (responder.Requests() < kSessionsForMemory &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(kPoll);
        const std::size_t after = mallinfo2().uordblks;
        state.counters["bytes_per_session"] =
            static_cast<double>(after - before) / kSessionsForMemory;
        for (int id : ids)
            nl::CancelTCPHTTPPacket(id);
        while (nl::ClientManager::GetInstance()->SessionCount() != 0 &&
               std::chrono::steady_clock::now() < deadline + kDrainWait)
            std::this_thread::sleep_for(kPoll);
    }
    TearDown();
}
BENCHMARK(BM_HeapPerInFlightSession)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
