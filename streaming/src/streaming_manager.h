// The process-wide owner of the streaming I/O threads, the servers grouped
// by profile, and the client sessions. Created by the first
// InitializeStreamingManager, counted, destroyed by the last
// TerminateStreamingManager. Held by std::shared_ptr: every API call and
// every network event holds it for its duration, so that a termination from
// inside a callback (or from another thread) cannot delete it under a call
// that still runs; the last holder destroys it.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>
#include <boost/thread/thread.hpp>

#include <zel_upnp/network_layer.h>
#include <zel_upnp/streaming.h>

namespace zel_upnp {
namespace streaming {

class TCPServer;
class OutgoingSession;
class OutgoingSyncSession;

// One StartServers call: the servers it started (and, for ALL_INTERFACES,
// those started later for new interfaces).
struct configuration_server_info {
    int profile_id;
    std::string interface_name;  // the interface, or kAllInterfaces
    ServerAppCallbacks callbacks;
    std::list<boost::shared_ptr<TCPServer> > servers;
};

class StreamingManager : public network_layer::NetworkEventListener,
                         public std::enable_shared_from_this<StreamingManager> {
  public:
    static constexpr int kStreamingThreads = 20;
    static constexpr int kFirstProfileId = 100;
    static constexpr int kFirstServerId = 1000;
    static constexpr int kClientIdRestart = 100 + 1;
    static constexpr int kClientIdLimit = 1000;
    static const char kAllInterfaces[];

    // The manager, created on first use; null when it cannot be created.
    static std::shared_ptr<StreamingManager> GetInstance();
    // The manager if there is one (and it is not being terminated); never
    // creates.
    static std::shared_ptr<StreamingManager> Instance();
    // Adds one reference (creating the manager); 0 or 1001.
    static int AddReference();
    // Drops one reference and destroys the manager with the last; 0 or 1002.
    static int DeleteReference();

    void OnNetworkChanged(const std::string& interfaceName, int event) override;
    virtual ~StreamingManager();

    boost::asio::io_service& IoService() { return io_service_; }
    // Starts the pool unless it runs; 0 or 1.
    int EnsureThreads();

    int StartServers(const ServerAppCallbacks& callbacks, const char* ip_address, int port,
                     stServer** servers, int* profile_id);
    stServer* GetConfiguredServers(int server_id);
    int GetStreamingServerPort(int profile_id, const std::string& ip_address, int* port);
    int StopServers(int profile_id);
    int StopServerTransfer(int server_id, int session_id);
    int SendHTTPResponse(int server_id, int session_id, const ResHeaderInfo* head, bool last);
    int SendHTTPPayload(int server_id, int session_id, void* data, unsigned int length, bool last);
    int SendHTTPFilePayload(int server_id, int session_id, int fd, int64_t offset,
                            unsigned int length, bool last);

    int StartClient(const ClientAppCallbacks& callbacks, const std::string& address, int port,
                    int* client_id);
    int SendHTTPRequest(int client_id, const ReqHeaderInfo* head);
    int ClientSessionCompleted(int client_id);
    // Forgets a client session that ended by itself (after its on_status).
    void RemoveClient(int client_id);

    int StartSyncClient(int* client_id);
    boost::shared_ptr<OutgoingSyncSession> FindSyncClient(int client_id);

  private:
    StreamingManager();
    // Creates the manager unless there is one; instance mutex held.
    static std::shared_ptr<StreamingManager> CreateLocked();
    StreamingManager(const StreamingManager&) = delete;
    StreamingManager& operator=(const StreamingManager&) = delete;

    // True once the last reference went: no thread starts any more and the
    // application hears of no further server event.
    bool Closing();
    int StartStreamingThreads(int count);
    bool OnPoolThread();
    void StopStreamingThreads();
    void StopAll();
    boost::shared_ptr<TCPServer> FindServer(int server_id);
    // Starts a server of the profile on nic; 0 with the new server, or the
    // server's start result. Profile mutex not held.
    int ConfigureServer(const ServerAppCallbacks& callbacks, const network_layer::NetInfo& nic,
                        int port, boost::shared_ptr<TCPServer>& server);
    // Starts servers on nic for every all-interfaces profile that has none
    // there; each is announced with on_status 9.
    void ConfigureAllInterfaceProfiles(const network_layer::NetInfo& nic);
    void StopServersOnInterface(const std::string& interface_name);
    int NextClientId();  // client map mutexes held

    // Declared first so that it is destroyed last: sockets of the servers
    // and sessions belong to it.
    boost::asio::io_service io_service_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    std::unique_ptr<boost::thread_group> threads_;
    boost::shared_mutex pool_lock_;  // threads_, work_, started_
    boost::mutex start_lock_;        // one starter at a time; closing_
    bool started_;
    bool closing_;
    int listener_id_;

    boost::mutex server_start_mutex_;  // one server start at a time
    boost::mutex profile_mutex_;       // profiles_, the id counters of servers and profiles
    std::list<configuration_server_info> profiles_;
    int next_server_id_;
    int next_profile_id_;
    // The port each all-interfaces profile asked for, by profile id.
    std::map<int, int> profile_ports_;

    boost::mutex client_mutex_;       // clients_, next_client_id_
    boost::mutex sync_client_mutex_;  // sync_clients_
    std::map<int, boost::shared_ptr<OutgoingSession> > clients_;
    std::map<int, boost::shared_ptr<OutgoingSyncSession> > sync_clients_;
    int next_client_id_;
};

}  // namespace streaming
}  // namespace zel_upnp
