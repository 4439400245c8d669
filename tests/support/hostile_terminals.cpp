#include "support/hostile_terminals.h"

#include <cstdio>

#include "support/terminals.h"

namespace corvel::testing {

namespace {

constexpr std::size_t kHugeResultBytes = 10 * 1024 * 1024;
constexpr std::size_t kSlowBodyBytes = 16 * 1024 * 1024;
constexpr std::uint64_t kSlowBodyBytesPerSecond = 2'000'000;
constexpr std::size_t kTrailerValueBytes = 1000;
constexpr std::size_t kHeaderNamesPerBlock = 4096;

std::string Ok(const std::string& body) { return HttpAnswer("200 OK", body); }

std::string DeepNesting()
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
    return nested;
}

std::string EntityBomb()
{
    std::string document = "<?xml version=\"1.0\"?><!DOCTYPE soap:Envelope [<!ENTITY e0 \"lollollollollol\">";
    for (int level = 1; level <= 10; ++level) {
        // Appended piece by piece: GCC 12 at -O3 misreads "literal" + a
        // temporary string as an overlapping copy (-Wrestrict).
        const std::string previous = std::to_string(level - 1);
        document.append("<!ENTITY e").append(std::to_string(level)).append(" \"");
        for (int copy = 0; copy < 10; ++copy) {
            document.append("&e").append(previous).append(";");
        }
        document += "\">";
    }
    document += "]>";
    // The document type goes after the XML declaration.
    const std::string envelope = TestResponseEnvelope("&e10;");
    return document + envelope.substr(envelope.find("?>") + 2);
}

// Block n of header lines whose names are all distinct: x<number>: v
std::string HeaderNameBlock(std::uint64_t block)
{
    std::string lines;
    lines.reserve(kHeaderNamesPerBlock * 16);
    char line[32];
    for (std::uint64_t name = block * kHeaderNamesPerBlock; name < (block + 1) * kHeaderNamesPerBlock; ++name) {
        const int length = std::snprintf(line, sizeof line, "x%llx: v\r\n", static_cast<unsigned long long>(name));
        lines.append(line, static_cast<std::size_t>(length));
    }
    return lines;
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
    case Behaviour::EndlessTrailers: return "endless-trailers";
    case Behaviour::EndlessHeaderNames: return "endless-header-names";
    case Behaviour::SlowHugeBody: return "slow-16mib-body";
    case Behaviour::DripHalfSecond: return "drip-500ms";
    }
    return "?";
}

bool Answers(Behaviour behaviour)
{
    return behaviour == Behaviour::Live || behaviour == Behaviour::HugeResult;
}

Script HostileScript(Behaviour behaviour)
{
    switch (behaviour) {
    case Behaviour::Live:
        return AnswerScript(Ok(TestResponseEnvelope("OK")));
    case Behaviour::HugeResult:
        return AnswerScript(Ok(TestResponseEnvelope(std::string(kHugeResultBytes, 'x'))));
    case Behaviour::Silent:
        return SilentScript();
    case Behaviour::Drip:
        return {ReadRequest(), Drip(Ok(TestResponseEnvelope("OK")), 1000), CloseConnection()};
    case Behaviour::DripHalfSecond:
        return {ReadRequest(), Drip(Ok(TestResponseEnvelope("OK")), 500), CloseConnection()};
    case Behaviour::ResetMidResponse: {
        const std::string answer = Ok(TestResponseEnvelope("OK"));
        return {ReadRequest(), SendBytes(answer.substr(0, answer.size() / 2)), ResetConnection()};
    }
    case Behaviour::EndlessBody:
        return {ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n"),
                Flood(std::string(64 * 1024, '<'))};
    case Behaviour::RedirectForever:
        return {ReadRequest(),
                SendBytes("HTTP/1.1 302 Found\r\nLocation: /webservice.wsdl\r\nContent-Length: 0\r\n\r\n"), Repeat()};
    case Behaviour::ManyHeaderLines: {
        std::string answer = "HTTP/1.1 200 OK\r\n";
        for (int line = 0; line < 100000; ++line) {
            answer += "X-Filler-" + std::to_string(line % 1000) + ": value\r\n";
        }
        return AnswerScript(answer + "Content-Length: 0\r\n\r\n");
    }
    case Behaviour::HugeHeaderLine:
        return AnswerScript("HTTP/1.1 200 OK\r\nX-Huge: " + std::string(1024 * 1024, 'h') +
                            "\r\nContent-Length: 0\r\n\r\n");
    case Behaviour::ChunkSizeMax:
        return AnswerScript("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7FFFFFFF\r\n" +
                            std::string(8192, 'c'));
    case Behaviour::ChunkSizeNegative:
        return AnswerScript("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-1\r\nabc\r\n0\r\n\r\n");
    case Behaviour::DeepNesting:
        return AnswerScript(Ok(TestResponseEnvelope(DeepNesting())));
    case Behaviour::EntityBomb:
        return AnswerScript(Ok(EntityBomb()));
    case Behaviour::InvalidUtf8:
        return AnswerScript(Ok(TestResponseEnvelope("bad \xC3\x28 text \xFF")));
    case Behaviour::EndlessTrailers:
        // The Trailer header announces the trailer section, so that a reader
        // which reads trailers only when announced reads these too.
        return {ReadRequest(),
                SendBytes("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n"
                          "Trailer: x\r\n\r\n4\r\nabcd\r\n0\r\n"),
                Flood("x: " + std::string(kTrailerValueBytes, 'v') + "\r\n")};
    case Behaviour::EndlessHeaderNames:
        return {ReadRequest(), SendBytes("HTTP/1.1 200 OK\r\n"), FloodWith(HeaderNameBlock)};
    case Behaviour::SlowHugeBody:
        return {ReadRequest(),
                SendBytes("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                          std::to_string(kSlowBodyBytes) + "\r\n\r\n"),
                Paced(std::string(kSlowBodyBytes, 'x'), kSlowBodyBytesPerSecond), CloseConnection()};
    }
    return {};
}

std::optional<std::size_t> HostileTerminals::Add(const std::string& address, std::uint16_t port,
                                                 Behaviour behaviour)
{
    auto& scripts = scripts_[behaviour];
    if (!scripts) {
        scripts = std::make_shared<const std::vector<Script>>(1, HostileScript(behaviour));
    }
    return host_.Listen(address, port, scripts);
}

}  // namespace corvel::testing
