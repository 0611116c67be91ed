// Debian's nginx serving a folder on a loopback port, as a reference HTTP
// server for the client tests. Runs in the foreground as a child process and
// is killed (by its pid) on destruction.
#pragma once

#include <sys/types.h>

#include <string>

namespace zel_test {

class NginxPeer {
  public:
    // Serves root (a folder the caller made) on 127.0.0.1 at a free port.
    explicit NginxPeer(const std::string& root);
    ~NginxPeer();
    NginxPeer(const NginxPeer&) = delete;
    NginxPeer& operator=(const NginxPeer&) = delete;
    // False when nginx is not installed or did not come up in time.
    bool Ok() const { return ok_; }
    int Port() const { return port_; }

  private:
    std::string prefix_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool ok_ = false;
};

}  // namespace zel_test
