// The fault reader: prefix rules for faultcode, white space around it, the
// order of faultstring and faultcode, detail markup, a Header in the fault
// envelope, unknown elements before and after the first known child, and a
// body without a Fault.
#include <gtest/gtest.h>

#include <string>

#include "platform/memory_stream.h"
#include "platform/com.h"
#include "soap/soap_fault.h"

namespace corvel::soap {
namespace {

using Text = std::basic_string<OLECHAR>;

struct ComScope {
    ComScope() { platform::InitializeComForThread(); }
    ~ComScope() { platform::UninitializeComForThread(); }
};

std::string FaultEnvelope(const std::string& fault, const char* prefix = "soap")
{
    std::string p = prefix;
    return "<" + p + ":Envelope xmlns:" + p + "=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:e=\"urn:e\"><" + p + ":Body><" + p +
           ":Fault>" + fault + "</" + p + ":Fault></" + p + ":Body></" + p + ":Envelope>";
}

struct Case {
    const char* name;
    std::string document;
    bool succeeds;
    SoapFaultCode code;
    Text faultCode;
    Text faultString;
    Text detail;
};

TEST(FaultReader, Cases)
{
    const Case cases[] = {
        {"server", FaultEnvelope("<faultcode>soap:Server</faultcode><faultstring>x</faultstring>"), true,
         SoapFaultCode::Server, OLESTR("Server"), OLESTR("x"), Text()},
        {"other prefix name", FaultEnvelope("<faultcode>env:Client</faultcode>", "env"), true, SoapFaultCode::Client,
         OLESTR("Client"), Text(), Text()},
        {"dotted code", FaultEnvelope("<faultcode>soap:Server.Timeout</faultcode>"), true, SoapFaultCode::OtherCode,
         OLESTR("Server.Timeout"), Text(), Text()},
        {"wrong prefix", FaultEnvelope("<faultcode>other:Server</faultcode>"), false, SoapFaultCode::OtherCode, Text(),
         Text(), Text()},
        {"no prefix", FaultEnvelope("<faultcode>Server</faultcode>"), false, SoapFaultCode::OtherCode, Text(), Text(),
         Text()},
        {"leading white space", FaultEnvelope("<faultcode>\n  soap:MustUnderstand</faultcode>"), true,
         SoapFaultCode::MustUnderstand, OLESTR("MustUnderstand"), Text(), Text()},
        {"trailing white space", FaultEnvelope("<faultcode>soap:Server </faultcode>"), true, SoapFaultCode::OtherCode,
         OLESTR("Server "), Text(), Text()},
        {"faultstring first", FaultEnvelope("<faultstring>why</faultstring><faultcode>soap:VersionMismatch</faultcode>"),
         true, SoapFaultCode::VersionMismatch, Text(), OLESTR("why"), Text()},
        {"detail markup",
         FaultEnvelope("<faultcode>soap:Server</faultcode><detail><e:code n=\"1\">42<e:x/></e:code></detail>"),
         true, SoapFaultCode::Server, OLESTR("Server"), Text(), OLESTR("<e:code n=\"1\">42<e:x></e:x></e:code>")},
        {"unknown element before faultcode", FaultEnvelope("<x/><faultcode>soap:Server</faultcode>"), false,
         SoapFaultCode::OtherCode, Text(), Text(), Text()},
        {"unknown element after faultcode skipped",
         FaultEnvelope("<faultcode>soap:Server</faultcode><x><y>1</y></x><faultstring>s</faultstring>"), true,
         SoapFaultCode::Server, OLESTR("Server"), OLESTR("s"), Text()},
        {"second faultcode", FaultEnvelope("<faultcode>soap:Server</faultcode><faultcode>soap:Client</faultcode>"),
         false, SoapFaultCode::Server, OLESTR("Server"), Text(), Text()},
        {"header in the envelope",
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Header/><soap:Body>"
         "<soap:Fault><faultcode>soap:Server</faultcode></soap:Fault></soap:Body></soap:Envelope>",
         false, SoapFaultCode::OtherCode, Text(), Text(), Text()},
        {"no fault at all",
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body/></soap:Envelope>", true,
         SoapFaultCode::OtherCode, Text(), Text(), Text()},
        {"fault in another namespace",
         "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
         "<f:Fault xmlns:f=\"urn:f\"/></soap:Body></soap:Envelope>",
         false, SoapFaultCode::OtherCode, Text(), Text(), Text()},
        {"empty document", "", false, SoapFaultCode::OtherCode, Text(), Text(), Text()},
    };
    ComScope com;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SoapFault fault;
        fault.faultActor = OLESTR("left over from an earlier call");
        platform::testing::MemoryStream stream(c.document);
        HRESULT result = fault.ParseFault(&stream, nullptr);
        EXPECT_EQ(SUCCEEDED(result), c.succeeds) << std::hex << result;
        EXPECT_EQ(fault.code, c.code);
        EXPECT_EQ(fault.faultCode, c.faultCode);
        EXPECT_EQ(fault.faultString, c.faultString);
        EXPECT_EQ(fault.detail, c.detail);
        EXPECT_TRUE(fault.faultActor.empty());
    }
}

TEST(FaultReader, SetFaultCodeDirectly)
{
    SoapFault fault;
    EXPECT_EQ(fault.SetFaultCode(OLESTR("s:Client"), OLESTR("s"), -1, -1, true), S_OK);
    EXPECT_EQ(fault.code, SoapFaultCode::Client);
    EXPECT_EQ(fault.faultString, Text(OLESTR("SOAP Invalid Request")));
    EXPECT_TRUE(fault.faultCode.empty()) << "the standard text was set first";
    EXPECT_EQ(fault.SetFaultCode(OLESTR("s:Client"), nullptr, -1, -1, false), E_INVALIDARG);
    EXPECT_EQ(fault.SetFaultCode(nullptr, OLESTR("s"), -1, -1, false), E_INVALIDARG);
    EXPECT_EQ(fault.ParseFault(nullptr, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace corvel::soap
