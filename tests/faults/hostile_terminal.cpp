#include "faults/hostile_terminal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvel::faults {

namespace {

constexpr int kTerminalPort = 80;
constexpr int kPollMs = 100;

const char kEnvelopeStart[] =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<soap:Body><snp:TestResponse xmlns:snp=\"http://corvel.example/message/\"><Result>";
const char kEnvelopeEnd[] = "</Result></snp:TestResponse></soap:Body></soap:Envelope>";

std::string Answer(const std::string& result)
{
    std::string body = kEnvelopeStart + result + kEnvelopeEnd;
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string AnswerWithBody(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string DeepNestingAnswer()
{
    constexpr int kLevels = 100000;
    std::string nested;
    nested.reserve(kLevels * 7);
    for (int level = 0; level < kLevels; ++level) {
        nested += "<a>";
    }
    for (int level = 0; level < kLevels; ++level) {
        nested += "</a>";
    }
    return Answer(nested);
}

std::string EntityBombAnswer()
{
    std::string doctype = "<?xml version=\"1.0\"?><!DOCTYPE soap:Envelope [<!ENTITY e0 \"lollollollollol\">";
    for (int level = 1; level <= 10; ++level) {
        doctype += "<!ENTITY e" + std::to_string(level) + " \"";
        for (int copy = 0; copy < 10; ++copy) {
            doctype += "&e" + std::to_string(level - 1) + ";";
        }
        doctype += "\">";
    }
    doctype += "]>";
    return AnswerWithBody(doctype + kEnvelopeStart + "&e10;" + kEnvelopeEnd);
}

}  // namespace

const char* BehaviourName(Behaviour behaviour)
{
    switch (behaviour) {
    case Behaviour::Live: return "live";
    case Behaviour::HugeResult: return "huge-result";
    case Behaviour::Silent: return "silent";
    case Behaviour::Drip: return "drip";
    case Behaviour::ResetMidResponse: return "reset";
    case Behaviour::EndlessBody: return "endless-body";
    case Behaviour::RedirectForever: return "redirect-forever";
    case Behaviour::ManyHeaderLines: return "many-header-lines";
    case Behaviour::HugeHeaderLine: return "huge-header-line";
    case Behaviour::ChunkSizeMax: return "chunk-7fffffff";
    case Behaviour::ChunkSizeNegative: return "chunk-negative";
    case Behaviour::DeepNesting: return "deep-nesting";
    case Behaviour::EntityBomb: return "entity-bomb";
    case Behaviour::InvalidUtf8: return "invalid-utf8";
    }
    return "?";
}

bool Answers(Behaviour behaviour)
{
    return behaviour == Behaviour::Live || behaviour == Behaviour::HugeResult;
}

HostileTerminal::HostileTerminal(std::string address, Behaviour behaviour)
    : address_(std::move(address)), behaviour_(behaviour)
{
}

HostileTerminal::~HostileTerminal()
{
    Stop();
}

bool HostileTerminal::Start()
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        return false;
    }
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kTerminalPort);
    ::inet_pton(AF_INET, address_.c_str(), &local.sin_addr);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(listener_, 64) != 0) {
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void HostileTerminal::Stop()
{
    stopping_.store(true);
    if (acceptThread_.joinable()) {
        acceptThread_.join();
    }
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> guard(workersLock_);
        workers.swap(workers_);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (listener_ >= 0) {
        ::close(listener_);
        listener_ = -1;
    }
}

void HostileTerminal::AcceptLoop()
{
    while (!stopping_.load()) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, kPollMs) <= 0) {
            continue;
        }
        int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        connections_.fetch_add(1);
        std::lock_guard<std::mutex> guard(workersLock_);
        workers_.emplace_back([this, connection] {
            Serve(connection);
            ::close(connection);
        });
    }
}

// Reads one request: the header block and the body its Content-Length names.
bool HostileTerminal::ReadRequest(int connection, std::string& pending)
{
    for (;;) {
        std::size_t headerEnd = pending.find("\r\n\r\n");
        if (headerEnd != std::string::npos) {
            std::size_t bodyLength = 0;
            std::size_t lengthAt = pending.find("Content-Length: ");
            if (lengthAt != std::string::npos && lengthAt < headerEnd) {
                bodyLength = std::stoul(pending.substr(lengthAt + 16));
            }
            std::size_t total = headerEnd + 4 + bodyLength;
            if (pending.size() >= total) {
                pending.erase(0, total);
                return true;
            }
        }
        pollfd waiting{connection, POLLIN, 0};
        int ready = ::poll(&waiting, 1, kPollMs);
        if (stopping_.load()) {
            return false;
        }
        if (ready <= 0) {
            continue;
        }
        char bytes[4096];
        ssize_t received = ::recv(connection, bytes, sizeof bytes, 0);
        if (received <= 0) {
            return false;
        }
        pending.append(bytes, static_cast<std::size_t>(received));
    }
}

bool HostileTerminal::SendAll(int connection, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size() && !stopping_.load()) {
        pollfd waiting{connection, POLLOUT, 0};
        if (::poll(&waiting, 1, kPollMs) <= 0) {
            continue;
        }
        ssize_t written = ::send(connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (written <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(written);
    }
    return sent == bytes.size();
}

void HostileTerminal::Serve(int connection)
{
    std::string pending;
    // Most behaviours answer one request per connection; a redirect loop
    // answers every request the client sends on it.
    do {
        if (!ReadRequest(connection, pending)) {
            return;
        }
        switch (behaviour_) {
        case Behaviour::Live:
            SendAll(connection, Answer("OK"));
            break;
        case Behaviour::HugeResult:
            SendAll(connection, Answer(std::string(10 * 1024 * 1024, 'x')));
            break;
        case Behaviour::Silent:
            while (!stopping_.load()) {
                char byte;
                pollfd waiting{connection, POLLIN, 0};
                if (::poll(&waiting, 1, kPollMs) > 0 && ::recv(connection, &byte, 1, 0) <= 0) {
                    return;
                }
            }
            return;
        case Behaviour::Drip: {
            std::string answer = Answer("OK");
            for (char byte : answer) {
                if (!SendAll(connection, std::string(1, byte))) {
                    return;
                }
                for (int slept = 0; slept < 1000 && !stopping_.load(); slept += kPollMs) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
                }
            }
            return;
        }
        case Behaviour::ResetMidResponse: {
            std::string answer = Answer("OK");
            SendAll(connection, answer.substr(0, answer.size() / 2));
            linger reset{1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            return;
        }
        case Behaviour::EndlessBody: {
            if (!SendAll(connection, "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n")) {
                return;
            }
            std::string block(64 * 1024, '<');
            while (SendAll(connection, block)) {
            }
            return;
        }
        case Behaviour::RedirectForever:
            if (!SendAll(connection, "HTTP/1.1 302 Found\r\nLocation: /webservice.wsdl\r\nContent-Length: 0\r\n\r\n")) {
                return;
            }
            break;
        case Behaviour::ManyHeaderLines: {
            std::string answer = "HTTP/1.1 200 OK\r\n";
            for (int line = 0; line < 100000; ++line) {
                answer += "X-Filler-" + std::to_string(line % 1000) + ": value\r\n";
            }
            answer += "Content-Length: 0\r\n\r\n";
            SendAll(connection, answer);
            break;
        }
        case Behaviour::HugeHeaderLine:
            SendAll(connection, "HTTP/1.1 200 OK\r\nX-Huge: " + std::string(1024 * 1024, 'h') +
                                    "\r\nContent-Length: 0\r\n\r\n");
            break;
        case Behaviour::ChunkSizeMax:
            SendAll(connection, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7FFFFFFF\r\n" +
                                    std::string(8192, 'c'));
            break;
        case Behaviour::ChunkSizeNegative:
            SendAll(connection, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-1\r\nabc\r\n0\r\n\r\n");
            break;
        case Behaviour::DeepNesting:
            SendAll(connection, DeepNestingAnswer());
            break;
        case Behaviour::EntityBomb:
            SendAll(connection, EntityBombAnswer());
            break;
        case Behaviour::InvalidUtf8:
            SendAll(connection, Answer("bad \xC3\x28 text \xFF"));
            break;
        }
    } while (behaviour_ == Behaviour::RedirectForever && !stopping_.load());
    // Let the client read everything before the connection goes.
    ::shutdown(connection, SHUT_WR);
    char drain[4096];
    pollfd waiting{connection, POLLIN, 0};
    while (!stopping_.load() && ::poll(&waiting, 1, 2000) > 0 && ::recv(connection, drain, sizeof drain, 0) > 0) {
    }
}

}  // namespace corvel::faults
