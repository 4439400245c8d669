#include "support/loopback_server.h"

#include <memory>
#include <stdexcept>

namespace corvel::testing {

LoopbackServer::LoopbackServer(std::vector<Script> scripts, int backlog, bool accepting)
{
    const auto listener = host_.Listen("127.0.0.1", 0, std::make_shared<const std::vector<Script>>(std::move(scripts)),
                                       backlog, accepting);
    if (!listener) {
        throw std::runtime_error("loopback server: cannot listen on 127.0.0.1");
    }
    listener_ = *listener;
    host_.Start();
}

std::string LoopbackServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
}

}  // namespace corvel::testing
