// Blocking socket helpers for the peer side of namespace tests: each runs on
// a fresh thread inside the given namespace (NetnsTopology::RunIn) and gives
// up after kPeerTimeout, so a server that never answers fails the test
// instead of hanging it. Also: counters of this process's threads and
// descriptors, and of the UDP sockets bound to a port in the calling
// thread's namespace.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/netns.h"

namespace zel_test {

constexpr std::chrono::seconds kPeerTimeout{10};
constexpr size_t kPeerReadChunk = 4096;
constexpr int kMulticastHops = 1;

namespace detail {

inline void SetTimeouts(int fd) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(kPeerTimeout.count());
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

inline sockaddr_in Endpoint(const std::string& ip, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
    return addr;
}

}  // namespace detail

// True when a TCP connection to ip:port from namespace ns is accepted.
inline bool CanConnect(const std::string& ns, const std::string& ip, int port) {
    bool connected = false;
    NetnsTopology::RunIn(ns, [&] {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return;
        detail::SetTimeouts(fd);
        sockaddr_in addr = detail::Endpoint(ip, port);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        close(fd);
    });
    return connected;
}

// Sends request to ip:port from ns and returns everything received until
// the server closes the connection (or the time-out).
inline std::string TcpExchange(const std::string& ns, const std::string& ip, int port,
                               const std::string& request) {
    std::string received;
    NetnsTopology::RunIn(ns, [&] {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return;
        detail::SetTimeouts(fd);
        sockaddr_in addr = detail::Endpoint(ip, port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
            send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size())) {
            char buffer[kPeerReadChunk];
            for (;;) {
                ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0)
                    break;
                received.append(buffer, static_cast<size_t>(n));
            }
        }
        close(fd);
    });
    return received;
}

// One datagram from ns to ip:port; for a multicast ip, sent out of the
// interface with address from_ip.
inline bool SendDatagram(const std::string& ns, const std::string& from_ip, const std::string& ip,
                         int port, const std::string& data) {
    bool sent = false;
    NetnsTopology::RunIn(ns, [&] {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd < 0)
            return;
        in_addr local{};
        inet_pton(AF_INET, from_ip.c_str(), &local);
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof(local));
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &kMulticastHops, sizeof(kMulticastHops));
        sockaddr_in addr = detail::Endpoint(ip, port);
        sent = sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                      sizeof(addr)) == static_cast<ssize_t>(data.size());
        close(fd);
    });
    return sent;
}

// Entries of a /proc directory, "." and ".." not counted.
inline size_t CountDirEntries(const char* path) {
    size_t count = 0;
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return 0;
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            ++count;
    }
    closedir(dir);
    return count;
}

inline size_t CountThreads() {
    return CountDirEntries("/proc/self/task");
}

// Open descriptors, without the one the directory stream held while
// /proc/self/fd was read.
inline size_t CountDescriptors() {
    return CountDirEntries("/proc/self/fd") - 1;
}

// Names of this process's threads.
inline std::vector<std::string> ThreadNames() {
    std::vector<std::string> names;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        const std::string id = entry->d_name;
        if (id == "." || id == "..")
            continue;
        std::ifstream comm("/proc/self/task/" + id + "/comm");
        std::string name;
        if (std::getline(comm, name))
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

// UDP sockets (v4) bound to local port in the calling thread's namespace.
inline size_t CountUdpSocketsOnPort(int port) {
    std::ifstream table("/proc/thread-self/net/udp");
    std::string line;
    std::getline(table, line);  // column titles
    char wanted[8];
    std::snprintf(wanted, sizeof(wanted), ":%04X", port);
    size_t count = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local.size() >= 5 && local.compare(local.size() - 5, 5, wanted) == 0)
            ++count;
    }
    return count;
}

}  // namespace zel_test
