// The request writer over the terminal service and the test service: the exact
// Test request, escaping, arrays, structures, enumerations, headers, the PAD
// and PID forms, and the failures that end a request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "soap/request_writer.h"
#include "soap/response_generator.h"
#include "soap/terminal_service_tables.h"
#include "soap/test_service.h"
#include "soap/write_stream.h"

namespace corvel::soap {
namespace {

namespace ts = test_service;

const std::string kEnvelope =
    "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
    "xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">";
const std::string kRpcBody = "<soap:Body soap:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";
const std::string kEnd = "</soap:Body></soap:Envelope>";
const std::string kTestWrapper = "<snp:Scalars xmlns:snp=\"http://test.corvel.example/message/\">";

RequestWriterContext TestContext(bool clientRole = true)
{
    return {clientRole, DefaultMemoryManager(), ts::ServiceNamespace,
            static_cast<int>(sizeof(ts::ServiceNamespace) - 1)};
}

struct Written {
    HRESULT result;
    std::string text;
};

Written WriteTestService(std::size_t operation, void* parameters, void* headers = nullptr, bool clientRole = true)
{
    CWriteStreamOnCString stream;
    HRESULT hr = WriteEnvelope(TestContext(clientRole), ts::HeaderTable[operation], headers,
                               ts::OperationTable[operation], parameters, &stream);
    return {hr, stream.Text()};
}

// The part between the body start and the body end.
std::string Body(const std::string& request, const std::string& bodyStart)
{
    std::size_t start = request.find(bodyStart);
    std::size_t end = request.rfind(kEnd);
    if (start == std::string::npos || end == std::string::npos) {
        return "<no body in: " + request + ">";
    }
    start += bodyStart.size();
    return request.substr(start, end - start);
}

TEST(RequestWriter, TestRequestIsExact)
{
    using namespace terminal_service;
    TestParameters parameters{nullptr};
    CWriteStreamOnCString stream;
    RequestWriterContext context{true, DefaultMemoryManager(), ServiceNamespace, ServiceNamespaceLength};
    ASSERT_EQ(WriteEnvelope(context, HeaderTable[kTestOperationIndex], nullptr,
                            OperationTable[kTestOperationIndex], &parameters, &stream),
              S_OK);
    EXPECT_EQ(stream.Text(),
              kEnvelope + kRpcBody + "<snp:Test xmlns:snp=\"http://corvel.example/message/\"></snp:Test>" + kEnd);
    EXPECT_EQ(stream.Text().size(), 227u + 74u + 53u + 11u + 12u + 16u);
}

TEST(RequestWriter, AddressParameterIsEscapedOrNil)
{
    using namespace terminal_service;
    struct Case {
        std::vector<OLECHAR> address;  // empty vector with nil = true: a null string
        bool nil;
        std::string element;
    };
    const Case cases[] = {
        {{'1', '0', '.', '0', '.', '0', '.', '7'}, false, "<pStrIP>10.0.0.7</pStrIP>"},
        {{}, true, "<pStrIP xsi:nil=\"1\"/>"},
        {{}, false, "<pStrIP></pStrIP>"},
        {{'a', '<', 'b', ' ', '&', ' ', 'c'}, false, "<pStrIP>a&lt;b &amp; c</pStrIP>"},
        {{'"', '\'', '>', '\t', 0xE9}, false, "<pStrIP>\"'&gt;&#x0009;&#x00E9;</pStrIP>"},
        {{0xD83D, 0xDE00, 0xD83D, 'x', 0xDE00}, false, "<pStrIP>&#x01F600;&#xD83D;x&#xDE00;</pStrIP>"},
    };
    for (const Case& c : cases) {
        AddressParameters parameters{nullptr, nullptr};
        if (!c.nil) {
            parameters.pStrIP = SysAllocStringLen(c.address.data(), static_cast<UINT>(c.address.size()));
        }
        CWriteStreamOnCString stream;
        RequestWriterContext context{true, DefaultMemoryManager(), ServiceNamespace, ServiceNamespaceLength};
        EXPECT_EQ(WriteEnvelope(context, HeaderTable[7], nullptr, OperationTable[7], &parameters, &stream), S_OK);
        EXPECT_EQ(Body(stream.Text(), kRpcBody),
                  "<snp:GetMac xmlns:snp=\"http://corvel.example/message/\">" + c.element + "</snp:GetMac>");
        SysFreeString(parameters.pStrIP);
    }
}

TEST(StringEscaping, AttributeModeAlsoEscapesQuotes)
{
    const OLECHAR text[] = {'a', '"', '\'', '&', 0xD800};
    std::vector<OLECHAR> out(EscapedXmlLength(text, 5, EscapeMode::Attribute));
    ASSERT_EQ(EscapeXmlText(text, 5, out.data(), EscapeMode::Attribute), out.size());
    EXPECT_EQ(std::string(out.begin(), out.end()), "a&quot;&apos;&amp;&#xD800;");
    EXPECT_EQ(EscapedXmlLength(text, 3, EscapeMode::Content), 3u) << "quotes are kept in element content";

    // A long value crosses the escaper's internal chunks intact.
    std::vector<OLECHAR> longText;
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        longText.push_back('<');
        longText.push_back(0xE9);
        expected += "&lt;&#x00E9;";
    }
    CWriteStreamOnCString stream;
    ASSERT_EQ(WriteEscapedString(&stream, longText.data(), longText.size()), S_OK);
    EXPECT_EQ(stream.Text(), expected);
    EXPECT_EQ(WriteEscapedString(&stream, nullptr, 0), E_INVALIDARG);
}

struct ScalarsFixture {
    ts::ScalarsParameters parameters{};
    unsigned char data[3] = {'A', 'B', 'C'};
    unsigned char hex[2] = {0x4A, 0xFF};

    ScalarsFixture()
    {
        parameters.count = 7;
        parameters.text = SysAllocString(OLESTR("hi"));
        parameters.flag = true;
        parameters.ratio = 2.5;
        parameters.data = {3, data};
        parameters.hex = {2, hex};
        parameters.link = SysAllocString(OLESTR("http://x/?a&b"));
        parameters.when = SysAllocString(OLESTR("2024-01-01T00:00:00"));
        parameters.color = ts::Blue;
        parameters.internal = 99;
        parameters.big = 18446744073709551615ull;
        parameters.small = 0.5f;
        parameters.total = 12;
        parameters.Result = SysAllocString(OLESTR("out"));
    }
    ~ScalarsFixture()
    {
        SysFreeString(parameters.text);
        SysFreeString(parameters.link);
        SysFreeString(parameters.when);
        SysFreeString(parameters.Result);
    }
};

TEST(RequestWriter, ScalarsWriteInMembersOnly)
{
    ScalarsFixture fixture;
    Written written = WriteTestService(ts::kScalars, &fixture.parameters);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(Body(written.text, kRpcBody),
              kTestWrapper +
                  "<count>7</count><text>hi</text><flag>true</flag><ratio>2.5</ratio><data>QUJD</data>"
                  "<hex>4AFF</hex><link>http://x/?a&amp;b</link><when>2024-01-01T00:00:00</when>"
                  "<color>Blue</color><big>18446744073709551615</big><small>0.5</small></snp:Scalars>");

    // The server role writes the out members, the ReturnValue one as "return".
    written = WriteTestService(ts::kScalars, &fixture.parameters, nullptr, false);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(Body(written.text, kRpcBody),
              kTestWrapper + "<total>12</total><Result>out</Result><return>0</return></snp:Scalars>");
}

TEST(RequestWriter, NilMembersAndFailingValues)
{
    {
        ScalarsFixture fixture;
        SysFreeString(fixture.parameters.text);
        fixture.parameters.text = nullptr;
        fixture.parameters.data = {0, nullptr};
        fixture.parameters.hex = {0, nullptr};
        Written written = WriteTestService(ts::kScalars, &fixture.parameters);
        ASSERT_EQ(written.result, S_OK);
        EXPECT_NE(written.text.find("<count>7</count><text xsi:nil=\"1\"/><flag>"), std::string::npos);
        EXPECT_NE(written.text.find("<data xsi:nil=\"1\"/><hex xsi:nil=\"1\"/><link>"), std::string::npos);
    }
    struct Case {
        const char* what;
        void (*spoil)(ts::ScalarsParameters&);
        HRESULT result;
    };
    const Case cases[] = {
        {"null anyURI", [](ts::ScalarsParameters& p) { SysFreeString(p.link); p.link = nullptr; }, E_INVALIDARG},
        {"null dateTime", [](ts::ScalarsParameters& p) { SysFreeString(p.when); p.when = nullptr; }, E_INVALIDARG},
        {"enumeration value without member", [](ts::ScalarsParameters& p) { p.color = 3; }, E_FAIL},
        {"negative blob size", [](ts::ScalarsParameters& p) { p.data.size = -1; }, E_INVALIDARG},
    };
    for (const Case& c : cases) {
        ScalarsFixture fixture;
        c.spoil(fixture.parameters);
        EXPECT_EQ(WriteTestService(ts::kScalars, &fixture.parameters).result, c.result) << c.what;
    }
}

struct ArraysFixture {
    ts::ArraysParameters parameters{};
    std::int32_t numbers[3] = {1, -2, 3};
    ts::Point points[2] = {{1, 2, nullptr}, {3, 4, nullptr}};
    ts::Item items[1] = {{nullptr, 1.25}};
    unsigned char blob[3] = {'A', 'B', 'C'};

    ArraysFixture()
    {
        points[0].label = SysAllocString(OLESTR("a"));
        items[0].name = SysAllocString(OLESTR("n"));
        parameters.numbers = numbers;
        parameters.numberCount = 3;
        for (int i = 0; i < 6; ++i) {
            parameters.grid[i] = i * 10;
        }
        parameters.points = points;
        parameters.pointCount = 2;
        parameters.items = items;
        parameters.itemCount = 1;
        parameters.names[0] = SysAllocString(OLESTR("x"));
        parameters.colors[0] = ts::Red;
        parameters.colors[1] = ts::Green;
        parameters.blobs[0] = {3, blob};
    }
    ~ArraysFixture()
    {
        SysFreeString(points[0].label);
        SysFreeString(items[0].name);
        SysFreeString(parameters.names[0]);
        SysFreeString(parameters.names[1]);
    }
};

TEST(RequestWriter, ArraysCarryTheirTypeAndExtents)
{
    ArraysFixture fixture;
    Written written = WriteTestService(ts::kArrays, &fixture.parameters);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(Body(written.text, kRpcBody),
              "<snp:Arrays xmlns:snp=\"http://test.corvel.example/message/\">"
              "<numbers soapenc:arrayType=\"xsd:int[3]\"><int>1</int><int>-2</int><int>3</int></numbers>"
              "<grid soapenc:arrayType=\"xsd:int[2, 3]\"><int>0</int><int>10</int><int>20</int><int>30</int>"
              "<int>40</int><int>50</int></grid>"
              "<points xmlns:q1=\"http://test.corvel.example/types/\" soapenc:arrayType=\"q1:Point[2]\">"
              "<snp:Point><x>1</x><y>2</y><label>a</label></snp:Point>"
              "<snp:Point><x>3</x><y>4</y><label xsi:nil=\"1\"/></snp:Point></points>"
              "<items xmlns:q1=\"http://test.corvel.example/wsdl/\" soapenc:arrayType=\"q1:Item[1]\">"
              "<snp:Item><name>n</name><price>1.25</price></snp:Item></items>"
              "<names soapenc:arrayType=\"xsd:string[2]\"><string>x</string><string xsi:nil=\"1\"></string></names>"
              "<colors xmlns:q1=\"http://test.corvel.example/types/\" soapenc:arrayType=\"q1:Color[2]\">"
              "<Color>Red</Color><Color>Green</Color></colors>"
              "<blobs soapenc:arrayType=\"xsd:base64Binary[2]\"><base64Binary>QUJD</base64Binary>"
              "<base64Binary xsi:nil=\"1\"></base64Binary></blobs>"
              "</snp:Arrays>");
}

TEST(RequestWriter, PointerArrayCounts)
{
    struct Case {
        const char* what;
        void (*set)(ts::ArraysParameters&);
        HRESULT result;
        const char* expected;  // a piece of the request when it succeeds
    };
    const Case cases[] = {
        {"count 0", [](ts::ArraysParameters& p) { p.numberCount = 0; }, E_FAIL, nullptr},
        {"negative count", [](ts::ArraysParameters& p) { p.numberCount = -1; }, E_FAIL, nullptr},
        {"negative short count", [](ts::ArraysParameters& p) { p.itemCount = -1; }, E_FAIL, nullptr},
        {"null pointer is nil", [](ts::ArraysParameters& p) { p.numbers = nullptr; p.numberCount = 0; }, S_OK,
         "<numbers xsi:nil=\"1\"/><grid"},
        {"64-bit count beyond what a count holds, not its low 32 bits",
         [](ts::ArraysParameters& p) { p.pointCount = (std::int64_t{1} << 32) | 1; }, E_FAIL, nullptr},
        {"64-bit count whose low half is 0", [](ts::ArraysParameters& p) { p.pointCount = std::int64_t{1} << 32; },
         E_FAIL, nullptr},
        {"first inline string null: the member is nil",
         [](ts::ArraysParameters& p) { SysFreeString(p.names[0]); p.names[0] = nullptr; }, S_OK,
         "<names xsi:nil=\"1\"/><colors"},
        {"enumeration item without member", [](ts::ArraysParameters& p) { p.colors[1] = 4; }, E_FAIL, nullptr},
    };
    for (const Case& c : cases) {
        ArraysFixture fixture;
        c.set(fixture.parameters);
        Written written = WriteTestService(ts::kArrays, &fixture.parameters);
        EXPECT_EQ(written.result, c.result) << c.what;
        if (c.expected != nullptr) {
            EXPECT_NE(written.text.find(c.expected), std::string::npos) << c.what << ": " << written.text;
        }
    }
}

TEST(RequestWriter, StructuresWriteTheirFieldsInsideTheMember)
{
    ts::StructuresParameters parameters{};
    parameters.point = {1, 2, SysAllocString(OLESTR("p"))};
    parameters.shape = {{3, 4, nullptr}, ts::Blue};
    parameters.outPoint = {5, 6, nullptr};
    parameters.outShape = {{7, 8, nullptr}, ts::Red};
    parameters.mode = ts::Green;
    Written written = WriteTestService(ts::kStructures, &parameters);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(Body(written.text, kRpcBody),
              "<snp:Structures xmlns:snp=\"http://test.corvel.example/message/\">"
              "<point><x>1</x><y>2</y><label>p</label></point>"
              "<shape><origin><x>3</x><y>4</y><label xsi:nil=\"1\"/></origin><color>Blue</color></shape>"
              "<mode>Green</mode></snp:Structures>");
    written = WriteTestService(ts::kStructures, &parameters, nullptr, false);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(Body(written.text, kRpcBody),
              "<snp:Structures xmlns:snp=\"http://test.corvel.example/message/\">"
              "<outPoint><x>5</x><y>6</y><label xsi:nil=\"1\"/></outPoint>"
              "<outShape><origin><x>7</x><y>8</y><label xsi:nil=\"1\"/></origin><color>Red</color></outShape>"
              "<mode>Green</mode></snp:Structures>");
    SysFreeString(parameters.point.label);
}

TEST(RequestWriter, HeadersWithMustUnderstandAndPrefixes)
{
    ts::TestHeaderRecord headers{};
    headers.SessionId = SysAllocString(OLESTR("s1"));
    headers.Credentials = {1, 2, SysAllocString(OLESTR("c"))};
    headers.ServerNote = SysAllocString(OLESTR("note"));
    headers.Priority = 5;
    headers.Trace = SysAllocString(OLESTR("tr"));
    headers.Sequence = 9;

    ts::HeadedParameters headed{SysAllocString(OLESTR("t")), nullptr};
    Written written = WriteTestService(ts::kHeaded, &headed, &headers);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(written.text,
              kEnvelope +
                  "<soap:Header>"
                  "<snp:SessionId xmlns:snp=\"http://test.corvel.example/headers/\" soap:mustUnderstand=\"1\">s1"
                  "</snp:SessionId>"
                  "<snp:Credentials xmlns:snp=\"http://test.corvel.example/types/\"><x>1</x><y>2</y><label>c</label>"
                  "</snp:Credentials><Priority>5</Priority></soap:Header>" +
                  kRpcBody + "<snp:Headed xmlns:snp=\"http://test.corvel.example/message/\"><text>t</text></snp:Headed>" +
                  kEnd);

    // Only out headers: no header element in the client role; both in the server role.
    ts::OutHeadedParameters outHeaded{nullptr};
    written = WriteTestService(ts::kOutHeaded, &outHeaded, &headers);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(written.text.find("Header"), std::string::npos);
    written = WriteTestService(ts::kOutHeaded, &outHeaded, &headers, false);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_NE(written.text.find("<soap:Header><ServerNote>note</ServerNote>"
                                "<Sequence soap:mustUnderstand=\"1\">9</Sequence></soap:Header>"),
              std::string::npos);

    // A literal header record declares its namespace as the default.
    ts::LiteralHeadedParameters literal{nullptr};
    written = WriteTestService(ts::kLiteralHeaded, &literal, &headers);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(written.text, kEnvelope +
                                "<soap:Header xmlns=\"http://test.corvel.example/message/\"><Trace>tr</Trace>"
                                "</soap:Header><soap:Body>"
                                "<LiteralHeaded xmlns=\"http://test.corvel.example/message/\"></LiteralHeaded>" +
                                kEnd);

    // Headers to write but no header record to read them from.
    EXPECT_EQ(WriteTestService(ts::kHeaded, &headed, nullptr).result, E_FAIL);

    SysFreeString(headers.SessionId);
    SysFreeString(headers.Credentials.label);
    SysFreeString(headers.ServerNote);
    SysFreeString(headers.Trace);
    SysFreeString(headed.text);
}

TEST(RequestWriter, DocumentLiteralForms)
{
    ts::PadEchoParameters pad{SysAllocString(OLESTR("hi")), nullptr};
    Written written = WriteTestService(ts::kPadEcho, &pad);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(written.text,
              kEnvelope + "<soap:Body><text xmlns=\"http://test.corvel.example/message/\">hi</text>" + kEnd);

    ts::PidEchoParameters pid{SysAllocString(OLESTR("hi")), 3, SysAllocString(OLESTR("r"))};
    written = WriteTestService(ts::kPidEcho, &pid);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(Body(written.text, "<soap:Body>"),
              "<PidEcho xmlns=\"http://test.corvel.example/message/\"><text>hi</text><number>3</number></PidEcho>");
    written = WriteTestService(ts::kPidEcho, &pid, nullptr, false);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(Body(written.text, "<soap:Body>"),
              "<PidEchoResponse xmlns=\"http://test.corvel.example/message/\"><Result>r</Result></PidEchoResponse>");

    ts::ChainedParameters chained{{1, 2, nullptr}, SysAllocString(OLESTR("q"))};
    written = WriteTestService(ts::kChained, &chained);
    ASSERT_EQ(written.result, S_OK);
    EXPECT_EQ(Body(written.text, "<soap:Body>"), "<query xmlns=\"http://test.corvel.example/message/\">q</query>");

    SysFreeString(pad.text);
    SysFreeString(pid.text);
    SysFreeString(pid.Result);
    SysFreeString(chained.query);
}

// Fails every Write from a given call on, with a code of its own.
class FailingStream : public IWriteStream {
public:
    explicit FailingStream(int failAt) : failAt_(failAt) {}
    HRESULT Write(const char* data, int length, int* written) override
    {
        if (calls_++ >= failAt_) {
            refused_.assign(data, static_cast<std::size_t>(length));
            return E_ACCESSDENIED;
        }
        text_.append(data, static_cast<std::size_t>(length));
        return S_OK;
    }
    HRESULT Flush() override { return S_OK; }
    int calls() const { return calls_; }
    const std::string& text() const { return text_; }
    // An integer value (digits after a start tag, not an array extent): its
    // writer reports any stream failure as E_FAIL.
    bool refusedInteger() const
    {
        return !refused_.empty() && refused_.find_first_not_of("-0123456789") == std::string::npos &&
               !text_.empty() && text_.back() == '>';
    }

private:
    std::string refused_;
    int failAt_;
    int calls_ = 0;
    std::string text_;
};

TEST(RequestWriter, TheFirstStreamFailureEndsTheRequest)
{
    ArraysFixture fixture;
    FailingStream counting(1 << 30);
    ASSERT_EQ(WriteEnvelope(TestContext(), ts::HeaderTable[ts::kArrays], nullptr, ts::OperationTable[ts::kArrays],
                            &fixture.parameters, &counting),
              S_OK);
    for (int failAt = 0; failAt < counting.calls(); ++failAt) {
        FailingStream stream(failAt);
        HRESULT hr = WriteEnvelope(TestContext(), ts::HeaderTable[ts::kArrays], nullptr,
                                   ts::OperationTable[ts::kArrays], &fixture.parameters, &stream);
        EXPECT_EQ(hr, stream.refusedInteger() ? E_FAIL : E_ACCESSDENIED) << failAt;
        EXPECT_EQ(stream.text(), counting.text().substr(0, stream.text().size())) << "a partial envelope stays";
    }
}

TEST(RequestWriter, MissingPiecesFail)
{
    ts::PadEchoParameters pad{SysAllocString(OLESTR("hi")), nullptr};
    CWriteStreamOnCString stream;
    RequestWriterContext context = TestContext();
    EXPECT_EQ(WriteEnvelope(context, ts::HeaderTable[ts::kPadEcho], nullptr, nullptr, &pad, &stream), E_FAIL);
    EXPECT_EQ(WriteEnvelope(context, ts::HeaderTable[ts::kPadEcho], nullptr, ts::OperationTable[ts::kPadEcho], &pad,
                            nullptr),
              E_FAIL);
    EXPECT_EQ(WriteEnvelope(context, nullptr, nullptr, ts::OperationTable[ts::kPadEcho], &pad, &stream), E_FAIL);
    CPADGenerator writer;
    EXPECT_EQ(WriteMembers(context, nullptr, &ts::PadEchoOperation, &pad, &stream, true), E_FAIL);
    EXPECT_EQ(WriteMembers(context, &writer, nullptr, &pad, &stream, true), E_FAIL);
    EXPECT_EQ(WriteMembers(context, &writer, &ts::PadEchoOperation, &pad, nullptr, true), E_FAIL);
    TypeDescriptor withoutFields = ts::PadEchoOperation;
    withoutFields.fields = nullptr;
    EXPECT_EQ(WriteMembers(context, &writer, &withoutFields, &pad, &stream, true), E_FAIL);
    SysFreeString(pad.text);

    // An empty fields array writes only the wrapper.
    CRpcEncodedGenerator rpc;
    CWriteStreamOnCString empty;
    EXPECT_EQ(WriteMembers(context, &rpc, &terminal_service::TestHeaders, nullptr, &empty, true), S_OK);
    EXPECT_EQ(empty.Text(), "<snp:Test></snp:Test>");
}

}  // namespace
}  // namespace corvel::soap
