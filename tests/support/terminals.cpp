#include "support/terminals.h"

#include <memory>
#include <stdexcept>
#include <utility>

namespace corvel::testing {

std::string HttpAnswer(const std::string& statusLine, const std::string& body, const std::string& contentType)
{
    std::string answer = "HTTP/1.1 " + statusLine + "\r\nConnection: close\r\n";
    if (!contentType.empty()) {
        answer += "Content-Type: " + contentType + "\r\n";
    }
    return answer + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string TestResponseEnvelope(const std::string& result)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
           "<soap:Body><snp:TestResponse xmlns:snp=\"http://corvel.example/wsdl/\">"
           "<Result xsi:type=\"xsd:string\">" +
           result + "</Result></snp:TestResponse></soap:Body></soap:Envelope>";
}

std::string FaultEnvelope(const std::string& code, const std::string& text, const std::string& actor,
                          const std::string& detail)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
           "<soap:Body><soap:Fault><faultcode>soap:" +
           code + "</faultcode><faultstring>" + text + "</faultstring><faultactor>" + actor +
           "</faultactor><detail>" + detail + "</detail></soap:Fault></soap:Body></soap:Envelope>";
}

Script AnswerScript(std::string answer)
{
    return {ReadRequest(), SendBytes(std::move(answer)), CloseConnection()};
}

Script DelayedAnswerScript(std::string answer, std::uint32_t delayMs)
{
    return {ReadRequest(), Delay(delayMs), SendBytes(std::move(answer)), CloseConnection()};
}

Script SilentScript() { return {ReadRequest(), Repeat()}; }

std::size_t StubTerminals::Add(const std::string& address, std::uint16_t port, StubBehaviour behaviour,
                               std::string answer, std::uint32_t delayMs)
{
    switch (behaviour) {
    case StubBehaviour::silent:
        return Add(address, port, SilentScript());
    case StubBehaviour::delayed:
        return Add(address, port, DelayedAnswerScript(std::move(answer), delayMs));
    case StubBehaviour::answer:
        break;
    }
    return Add(address, port, AnswerScript(std::move(answer)));
}

std::size_t StubTerminals::Add(const std::string& address, std::uint16_t port, Script script)
{
    const auto terminal =
        host_.Listen(address, port, std::make_shared<const std::vector<Script>>(1, std::move(script)));
    if (!terminal) {
        throw std::runtime_error("stub terminal: cannot listen on " + address + ":" + std::to_string(port));
    }
    return *terminal;
}

}  // namespace corvel::testing
