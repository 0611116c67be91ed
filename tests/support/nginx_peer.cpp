#include "support/nginx_peer.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "support/peers.h"

namespace zel_test {

NginxPeer::NginxPeer(const std::string& root) {
    if (access("/usr/sbin/nginx", X_OK) != 0)
        return;
    char prefix[] = "/tmp/zel-nginx-XXXXXX";
    if (mkdtemp(prefix) == nullptr)
        return;
    prefix_ = prefix;
    port_ = ClosedPort();
    std::ofstream conf(prefix_ + "/nginx.conf");
    conf << "worker_processes 1;\npid " << prefix_ << "/nginx.pid;\nerror_log " << prefix_
         << "/error.log;\nevents { worker_connections 64; }\nhttp {\n access_log off;\n"
         << " client_body_temp_path " << prefix_ << ";\n proxy_temp_path " << prefix_
         << ";\n fastcgi_temp_path " << prefix_ << ";\n uwsgi_temp_path " << prefix_
         << ";\n scgi_temp_path " << prefix_ << ";\n server {\n  listen 127.0.0.1:" << port_
         << ";\n  root " << root << ";\n }\n}\n";
    conf.close();
    pid_ = fork();
    if (pid_ == 0) {
        execl("/usr/sbin/nginx", "nginx", "-p", prefix, "-c", (prefix_ + "/nginx.conf").c_str(),
              "-g", "daemon off;", static_cast<char*>(nullptr));
        _exit(127);
    }
    ok_ = pid_ > 0 && WaitUntil([this] { return PeerSocket().Connect("127.0.0.1", port_); });
}

NginxPeer::~NginxPeer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    if (!prefix_.empty())
        RunCommand({"rm", "-rf", prefix_});
}

}  // namespace zel_test
