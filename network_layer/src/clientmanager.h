// The outgoing client: owns one OutgoingSession per request in flight and
// runs the asynchronous ones on its own io threads ("ZelCliIo" x3).
// Responses reach their listeners through the dispatch core, on its response
// threads, never on the client threads.
//
// Locks: list_mutex_ guards the session list, the id counter and the session
// limit. It is not held while the dispatch core is called, and sessions are
// stopped outside it.
#pragma once

#include <atomic>
#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/utils.h>
#include "network_layer/src/networkinterface.h"
#include "network_layer/src/outgoingsession.h"
#include "network_layer/src/session_limit.h"

namespace zel_upnp {
namespace network_layer {

class ClientManager : public SessionOwner, private ZELUncopyable {
  public:
    // Threads the network layer starts.
    static constexpr int kClientThreads = 3;
    // An asynchronous request whose response has not begun this long after
    // the request was written is dropped.
    static constexpr int kResponseTimeoutMs = 30000;
    // SSDP datagrams go to this port of the group.
    static constexpr int kMulticastPort = 1900;

    // Created by InitializeNetworkLayer only; GetInstance never creates (the
    // rule of CallBackHandler::CreateInstance).
    static ClientManager* CreateInstance();
    static ClientManager* GetInstance();
    // Stops the threads and every session, then deletes the instance.
    static void DestroyInstance();

    // Computes the session limit from the descriptor limit and starts count
    // threads on the client io_service. 0, or 1 when a thread could not be
    // made (those made keep running). A second call while running is a no-op.
    int StartClientThreads(int count);
    // Stops the io_service (handlers not yet run are dropped) and joins the
    // threads. Sessions stay listed until removed or destroyed.
    void StopClientThreads();
    // Set with the server manager's multicast support; initially true.
    void SetMulticastEnabled(bool enabled);
    bool IsMulticastEnabled() const;

    // The operations behind the exported client functions of the same
    // names (SendTCPPacket is SendTCPHTTPPacket).
    int SendTCPPacket(const std::string& ip, const int& port, const std::string& packet,
                      const boost::shared_ptr<ResponseListener>& listener, int& sessionId);
    int CancelTCPPacket(const int& sessionId);
    int SendSyncTCPPacket(const std::string& ip, const int& port, const std::string& packet,
                          boost::shared_ptr<utils::HTTPInfo>& response, int timeoutMs);
    int IsReachable(std::map<std::string, boost::shared_ptr<valid_address_info> >& addresses,
                    int timeoutSeconds, boost::unique_lock<boost::mutex>& lock,
                    boost::condition_variable& condition, bool& stopRequested);
    int SendUDPPacket(const std::string& ip, const int& port, const std::string& packet);
    int SendMulticastPacket(const std::string& groupIp, const std::string& interfaceIp,
                            const std::string& packet);

    void RemoveSession(const int& session_id) override;
    void HandleFailureCondition(const int& session_id) override;

    // Shortens the response time-out of requests started from now on.
    void SetResponseTimeout(int timeoutMs);
    // Overrides the limit StartClientThreads computed.
    void SetSessionLimit(const SessionLimit& limit);
    SessionLimit GetSessionLimit();
    std::size_t SessionCount();

  private:
    ClientManager();
    ~ClientManager();

    int NextSessionId();
    // Creates a session with the next id; null when allocation fails.
    boost::shared_ptr<OutgoingSession> CreateSession();
    // Takes the session out of the list; null when it is not there.
    boost::shared_ptr<OutgoingSession> TakeSession(int session_id);
    // Stops and forgets the oldest sessions while there are too many.
    void OutgoingSessionDeleter();
    int SendMulticastFrom(const std::string& groupIp, const std::string& interfaceIp,
                          const std::string& packet);

    std::list<boost::shared_ptr<OutgoingSession> > sessions_;  // oldest first
    boost::mutex list_mutex_;                                  // sessions_, session_counter_
    boost::asio::io_service io_service_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    // Lifecycle threads only (Start / Stop / Destroy).
    std::unique_ptr<boost::thread_group> threads_;
    int session_counter_;
    SessionLimit session_limit_;  // list_mutex_
    std::atomic<bool> multicast_enabled_;
    std::atomic<int> response_timeout_ms_;
};

}  // namespace network_layer
}  // namespace zel_upnp
