// The terminal service proxy against stub terminals on 127.0.3.x: the answer
// of a live terminal, and the stage named by clientError for every way a call
// can fail.
#include "soap/terminal_service_proxy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/com.h"
#include "platform/com_ref.h"
#include "platform/compat.h"
#include "platform/text_conversion.h"
#include "support/terminals.h"

namespace {

using corvel::soap::SoapClientError;
using corvel::testing::FaultEnvelope;
using corvel::testing::HttpAnswer;
using corvel::testing::StubBehaviour;
using corvel::testing::StubTerminals;
using corvel::testing::TestResponseEnvelope;
using WebService::CTerminalServiceProxy;

// Ports of this suite; other suites use 80 and 8000, the watchdog's tests 18731.
constexpr std::uint16_t kProxyPort = 18741;

std::string UrlOf(const std::string& address, std::uint16_t port = kProxyPort)
{
    return "http://" + address + ":" + std::to_string(port) + "/webservice.wsdl";
}

std::string Narrow(const corvel::UniqueBstr& text)
{
    return corvel::platform::WideToNarrow(text.get(), text.length());
}

class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override { corvel::platform::InitializeComForThread(); }
    void TearDown() override { corvel::platform::UninitializeComForThread(); }
};

TEST_F(ProxyTest, NullOutputLeavesTheLastStageInPlace)
{
    CTerminalServiceProxy proxy;
    EXPECT_EQ(proxy.Test(nullptr), E_POINTER);
    EXPECT_EQ(proxy.clientError, SoapClientError::NoError);

    ASSERT_EQ(proxy.SetUrl(UrlOf("127.0.3.200", 1).c_str()), S_OK);
    proxy.requestTimeoutMs = 1000;
    corvel::UniqueBstr result;
    EXPECT_LT(proxy.Test(result.out()), 0);
    EXPECT_EQ(proxy.clientError, SoapClientError::TransferFailed);
    EXPECT_EQ(proxy.Test(nullptr), E_POINTER);
    EXPECT_EQ(proxy.clientError, SoapClientError::TransferFailed);
}

TEST_F(ProxyTest, LiveTerminalAnswers)
{
    StubTerminals terminals;
    terminals.Add("127.0.3.201", kProxyPort, StubBehaviour::answer,
                  HttpAnswer("200 OK", TestResponseEnvelope("OK &amp; fine")));
    terminals.Start();
    CTerminalServiceProxy proxy;
    ASSERT_EQ(proxy.SetUrl(UrlOf("127.0.3.201").c_str()), S_OK);
    proxy.requestTimeoutMs = 1000;
    corvel::UniqueBstr result;
    EXPECT_EQ(proxy.Test(result.out()), S_OK);
    EXPECT_EQ(Narrow(result), "OK & fine");
    EXPECT_EQ(proxy.clientError, SoapClientError::NoError);
    EXPECT_EQ(proxy.HttpStatus(), 200);

    const std::string request = terminals.LastRequest(0);
    EXPECT_EQ(request.rfind("POST /webservice.wsdl HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("SOAPAction: \"http://corvel.example/action/Tamsvald.Test\"\r\n"), std::string::npos);
    EXPECT_NE(request.find("Accept: text/xml\r\n"), std::string::npos);
    EXPECT_NE(request.find("Content-Type: text/xml; charset=utf-8\r\n"), std::string::npos);
    const std::string body = request.substr(request.find("\r\n\r\n") + 4);
    EXPECT_EQ(body, proxy.RequestText());
    EXPECT_NE(body.find("Test"), std::string::npos);
}

TEST_F(ProxyTest, DefaultsBeforeAnyCall)
{
    CTerminalServiceProxy proxy;
    EXPECT_STREQ(proxy.ServiceUrl().HostName(), "127.0.0.1");
    EXPECT_STREQ(proxy.ServiceUrl().Path(), "/WebService.wsdl");
    EXPECT_EQ(proxy.ServiceUrl().PortNumber(), 80);
    EXPECT_EQ(proxy.requestTimeoutMs, 0u);
    EXPECT_EQ(proxy.clientError, SoapClientError::NoError);
    EXPECT_TRUE(proxy.clientRole);
    EXPECT_EQ(proxy.InvokeOperation(0), E_NOTIMPL);
    EXPECT_EQ(proxy.ServiceName(nullptr), nullptr);
    // Too long for the escaped URL's buffer.
    EXPECT_EQ(proxy.SetUrl(("http://127.0.3.1/" + std::string(2100, 'a')).c_str()), E_FAIL);
    EXPECT_EQ(proxy.SetUrl(nullptr), E_FAIL);

    corvel::platform::ComRef<ISAXXMLReader> reader;
    EXPECT_EQ(proxy.ProvideReader(nullptr), E_INVALIDARG);
    ASSERT_EQ(proxy.ProvideReader(reader.out()), S_OK);
    ASSERT_NE(reader.get(), nullptr);

    void* handler = nullptr;
    EXPECT_EQ(proxy.QueryInterface(corvel::platform::kIidSaxContentHandler, &handler), S_OK);
    EXPECT_EQ(handler, static_cast<ISAXContentHandler*>(&proxy));
    EXPECT_EQ(proxy.QueryInterface(corvel::platform::kIidSaxXmlReader, &handler), E_NOINTERFACE);
    EXPECT_EQ(handler, nullptr);
    EXPECT_EQ(proxy.QueryInterface(corvel::platform::kIidSaxContentHandler, nullptr), E_POINTER);
}

// Every failing answer and the stage it is reported at.
TEST_F(ProxyTest, StageOfEachFailure)
{
    struct Case {
        const char* name;
        std::string address;
        std::string answer;  // empty: nothing listens there
        SoapClientError stage;
        std::int32_t status;
        const char* reason;  // the reader's or the transport's
    };
    const std::string fault = FaultEnvelope("Server", "broken", "terminal", "disk");
    const Case cases[] = {
        {"500 with an unparsable body", "127.0.3.211",
         HttpAnswer("500 Internal Server Error", "<soap:Envelope><unclosed>"), SoapClientError::FaultUnreadable, 500, "fault malformed"},
        {"500 without a body", "127.0.3.212", HttpAnswer("500 Internal Server Error", ""),
         SoapClientError::FaultReturned, 500, "status rejected"},
        {"404", "127.0.3.213", HttpAnswer("404 Not Found", "gone", "text/plain"), SoapClientError::TransferFailed, 404, "status rejected"},
        {"refused", "127.0.3.214", "", SoapClientError::TransferFailed, -1, "connect failed"},
        {"201", "127.0.3.215", HttpAnswer("201 Created", TestResponseEnvelope("OK")),
         SoapClientError::UnexpectedStatus, 201, "none"},
        {"304", "127.0.3.216", "HTTP/1.1 304 Not Modified\r\nConnection: close\r\n\r\n",
         SoapClientError::UnexpectedStatus, 304, "none"},
        {"202 on a fresh proxy", "127.0.3.217", HttpAnswer("202 Accepted", ""), SoapClientError::ResponseUnreadable,
         202, "not well formed"},
        {"200 with garbage", "127.0.3.218", HttpAnswer("200 OK", "this is not XML"),
         SoapClientError::ResponseUnreadable, 200, "not well formed"},
        {"200 without Result", "127.0.3.219",
         HttpAnswer("200 OK", "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                              "<soap:Body><x:TestResponse xmlns:x=\"urn:x\"><Other>1</Other></x:TestResponse>"
                              "</soap:Body></soap:Envelope>"),
         SoapClientError::ResponseUnreadable, 200, "unexpected element"},
    };
    StubTerminals terminals;
    for (const Case& c : cases) {
        if (!c.answer.empty()) {
            terminals.Add(c.address, kProxyPort, StubBehaviour::answer, c.answer);
        }
    }
    terminals.Start();
    for (const Case& c : cases) {
        CTerminalServiceProxy proxy;
        ASSERT_EQ(proxy.SetUrl(UrlOf(c.address).c_str()), S_OK) << c.name;
        proxy.requestTimeoutMs = 1000;
        corvel::UniqueBstr result;
        EXPECT_LT(proxy.Test(result.out()), 0) << c.name;
        EXPECT_EQ(result.get(), nullptr) << c.name;
        EXPECT_EQ(proxy.clientError, c.stage) << c.name << ": " << corvel::soap::SoapClientErrorName(proxy.clientError);
        EXPECT_STREQ(proxy.FailureReasonName(), c.reason) << c.name;
        if (c.status > 0) {
            EXPECT_EQ(proxy.HttpStatus(), c.status) << c.name;
        } else {
            EXPECT_EQ(proxy.SocketError(), 10061u) << c.name;
        }
    }
}

std::u16string Utf16(const std::basic_string<OLECHAR>& text)
{
    return std::u16string(text.begin(), text.end());
}

// A fault fills the record; the next call on the same proxy reuses the reader,
// clears the record and the request text, and reads the answer.
TEST_F(ProxyTest, FaultThenAnswerOnOneProxy)
{
    StubTerminals terminals;
    terminals.Add("127.0.3.231", kProxyPort, StubBehaviour::answer,
                  HttpAnswer("500 Internal Server Error", FaultEnvelope("Server", "broken", "terminal", "<disk>full</disk>")));
    terminals.Add("127.0.3.232", kProxyPort, StubBehaviour::answer, HttpAnswer("200 OK", TestResponseEnvelope("OK")));
    terminals.Start();

    CTerminalServiceProxy proxy;
    proxy.requestTimeoutMs = 1000;
    ASSERT_EQ(proxy.SetUrl(UrlOf("127.0.3.231").c_str()), S_OK);
    corvel::UniqueBstr result;
    EXPECT_EQ(proxy.Test(result.out()), E_FAIL);
    EXPECT_EQ(result.get(), nullptr);
    EXPECT_EQ(proxy.clientError, SoapClientError::FaultReturned);
    EXPECT_EQ(proxy.HttpStatus(), 500);
    const corvel::soap::SoapFault& fault = proxy.Fault();
    EXPECT_EQ(fault.code, corvel::soap::SoapFaultCode::Server);
    EXPECT_EQ(Utf16(fault.faultString), u"broken");
    EXPECT_EQ(Utf16(fault.faultActor), u"terminal");
    EXPECT_NE(Utf16(fault.detail).find(u"full"), std::u16string::npos);
    const std::string firstRequest = proxy.RequestText();
    ASSERT_FALSE(firstRequest.empty());

    ASSERT_EQ(proxy.SetUrl(UrlOf("127.0.3.232").c_str()), S_OK);
    EXPECT_EQ(proxy.Test(result.out()), S_OK);
    EXPECT_EQ(Narrow(result), "OK");
    EXPECT_EQ(proxy.clientError, SoapClientError::NoError);
    EXPECT_EQ(proxy.Fault().code, corvel::soap::SoapFaultCode::OtherCode);
    EXPECT_TRUE(proxy.Fault().faultString.empty());
    EXPECT_TRUE(proxy.Fault().detail.empty());
    // The request text holds this call's envelope only.
    EXPECT_EQ(proxy.RequestText(), firstRequest);
    EXPECT_EQ(terminals.Requests(0), 1u);
    EXPECT_EQ(terminals.Requests(1), 1u);
}

// A silent terminal costs the time-out; 0 stands for 10000 ms, so an answer
// after 1500 ms fails a 1000 ms call and reaches a call with time-out 0.
TEST_F(ProxyTest, TimeOuts)
{
    StubTerminals terminals;
    terminals.Add("127.0.3.221", kProxyPort, StubBehaviour::silent);
    terminals.Add("127.0.3.222", kProxyPort, StubBehaviour::delayed,
                  HttpAnswer("200 OK", TestResponseEnvelope("late")), 1500);
    terminals.Start();
    {
        CTerminalServiceProxy proxy;
        proxy.SetUrl(UrlOf("127.0.3.221").c_str());
        proxy.requestTimeoutMs = 1000;
        corvel::UniqueBstr result;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_LT(proxy.Test(result.out()), 0);
        const auto elapsed = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(proxy.clientError, SoapClientError::TransferFailed);
        EXPECT_GE(elapsed, std::chrono::milliseconds(900));
        EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
    }
    {
        CTerminalServiceProxy proxy;
        proxy.SetUrl(UrlOf("127.0.3.222").c_str());
        proxy.requestTimeoutMs = 1000;
        corvel::UniqueBstr result;
        EXPECT_LT(proxy.Test(result.out()), 0);
        EXPECT_EQ(proxy.clientError, SoapClientError::TransferFailed);
    }
    {
        CTerminalServiceProxy proxy;
        proxy.SetUrl(UrlOf("127.0.3.222").c_str());
        corvel::UniqueBstr result;
        EXPECT_EQ(proxy.Test(result.out()), S_OK);
        EXPECT_EQ(Narrow(result), "late");
        EXPECT_EQ(proxy.requestTimeoutMs, 0u);
    }
}

// A 202 attaches no body. On a proxy whose previous answer was left partly
// unread (its parse failed in the reader's first 64 KiB block), the rest of
// that answer is neither taken as this call's answer nor read from a buffer
// that the new exchange has reused or moved.
TEST_F(ProxyTest, AcceptedAfterAPartlyReadAnswerReadsNothingStale)
{
    std::string unreadable = "<x></y>";
    unreadable.resize(64 * 1024, ' ');
    StubTerminals terminals;
    terminals.Add("127.0.3.241", kProxyPort, StubBehaviour::answer,
                  HttpAnswer("200 OK", unreadable + TestResponseEnvelope("STALE")));
    terminals.Add("127.0.3.242", kProxyPort, StubBehaviour::answer, HttpAnswer("202 Accepted", ""));
    terminals.Add("127.0.3.243", kProxyPort, StubBehaviour::answer,
                  HttpAnswer("202 Accepted", std::string(300000, 'z'), "text/plain"));
    terminals.Start();

    for (const char* accepting : {"127.0.3.242", "127.0.3.243"}) {
        SCOPED_TRACE(accepting);
        CTerminalServiceProxy proxy;
        proxy.requestTimeoutMs = 2000;
        corvel::UniqueBstr result;
        ASSERT_EQ(proxy.SetUrl(UrlOf("127.0.3.241").c_str()), S_OK);
        EXPECT_LT(proxy.Test(result.out()), 0);
        EXPECT_EQ(proxy.clientError, SoapClientError::ResponseUnreadable);
        ASSERT_EQ(proxy.SetUrl(UrlOf(accepting).c_str()), S_OK);
        EXPECT_LT(proxy.Test(result.out()), 0);
        EXPECT_EQ(proxy.clientError, SoapClientError::ResponseUnreadable);
        EXPECT_EQ(result.get(), nullptr);
    }
}

}  // namespace
