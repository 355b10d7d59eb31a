// vrdview: the HTTP side. Listens on 127.0.0.1 only, answers only requests
// that carry the session's token and name this server as their host, serves
// the page's own files and the named files' planes, and writes nothing.
#ifndef VRDVIEW_SERVER_H
#define VRDVIEW_SERVER_H

#include "session.h"

#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace vrdview {

class Server {
public:
    Server(Session &session, std::string webRoot, std::string token);
    ~Server();

    // Binds 127.0.0.1:port (0: a free port). Returns the port, or -1.
    int bind(int port);
    // Serves until stop(); returns false when listening failed.
    bool run();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Where a request path leads inside root: the real path of a regular file
// below root, or an empty string (a "." or ".." segment, a path that leaves
// root through a symbolic link, anything but a regular file).
std::string assetPath(const std::string &root, const std::string &requestPath);

// A new random token: 32 hexadecimal digits from the kernel's generator.
std::string newToken();

} // namespace vrdview

#endif
