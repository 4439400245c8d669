// XML Schema value conversion: reading every kind of simple value from UTF-16
// text and writing it back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "soap/memory_manager.h"
#include "soap/soap_tables.h"
#include "soap/write_stream.h"
#include "soap/xsd_value.h"

namespace corvel::soap {
namespace {

std::basic_string<OLECHAR> Wide(const std::string& text)
{
    return std::basic_string<OLECHAR>(text.begin(), text.end());
}

HRESULT Read(const std::string& text, void* address, std::int32_t typeCode)
{
    auto wide = Wide(text);
    return ReadXsdValue(wide.data(), static_cast<int>(wide.size()), address, typeCode, DefaultMemoryManager());
}

std::string Written(const void* address, std::int32_t typeCode, HRESULT* result = nullptr)
{
    CWriteStreamOnCString stream;
    HRESULT hr = WriteXsdValue(address, &stream, typeCode, DefaultMemoryManager());
    if (result != nullptr) {
        *result = hr;
    }
    return stream.Text();
}

TEST(ReadXsdBoolean, OnlyTheFourExactWords)
{
    struct Case {
        const char* text;
        HRESULT result;
        bool value;
    };
    const Case cases[] = {
        {"true", S_OK, true},   {"1", S_OK, true},      {"false", S_OK, false}, {"0", S_OK, false},
        {"TRUE", E_FAIL, false}, {"False", E_FAIL, false}, {" true", E_FAIL, false}, {"true ", E_FAIL, false},
        {"yes", E_FAIL, false},  {"", E_FAIL, false},     {"10", E_FAIL, false},
    };
    for (const Case& c : cases) {
        auto wide = Wide(c.text);
        bool value = true;
        EXPECT_EQ(ReadXsdBoolean(wide.data(), static_cast<int>(wide.size()), &value), c.result) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
    EXPECT_EQ(ReadXsdBoolean(OLESTR("1"), 1, nullptr), E_POINTER);
}

TEST(ReadXsdValue, IntegersWithRangesAndWrapping)
{
    struct Case {
        std::int32_t typeCode;
        const char* text;
        HRESULT result;
        std::int64_t value;  // as stored, sign-extended from the type's width
    };
    const Case cases[] = {
        {XsdInt, "2147483647", S_OK, 2147483647},
        {XsdInt, "-2147483648", S_OK, -2147483648LL},
        {XsdInt, "2147483648", E_FAIL, 0},
        {XsdInt, " -5 ", S_OK, -5},
        {XsdInt, "+7", S_OK, 7},
        {XsdInt, "5x", E_FAIL, 0},
        {XsdInt, "5 x", E_FAIL, 0},
        {XsdInt, "", S_OK, 0},
        {XsdInt, "   ", S_OK, 0},
        {XsdInt, "-", E_FAIL, 0},
        {XsdInt, "0x10", E_FAIL, 0},
        {XsdShort, "-32768", S_OK, -32768},
        {XsdShort, "32768", E_FAIL, 0},
        {XsdByte, "-129", E_FAIL, 0},
        {XsdByte, "127", S_OK, 127},
        {XsdLong, "9223372036854775807", S_OK, std::numeric_limits<std::int64_t>::max()},
        {XsdLong, "-9223372036854775808", S_OK, std::numeric_limits<std::int64_t>::min()},
        {XsdLong, "9223372036854775808", E_FAIL, 0},
        {XsdNegativeInteger, "5", S_OK, 5},  // lexical limits are not enforced
        {XsdUnsignedByte, "255", S_OK, 255},
        {XsdUnsignedByte, "256", E_FAIL, 0},
        {XsdUnsignedByte, "-1", E_FAIL, 0},
        {XsdUnsignedShort, "65535", S_OK, 65535},
        {XsdUnsignedInt, "4294967295", S_OK, 4294967295LL},
        {XsdUnsignedInt, "-1", E_FAIL, 0},
    };
    for (const Case& c : cases) {
        unsigned char target[8];
        std::memset(target, 0xAB, sizeof(target));
        EXPECT_EQ(Read(c.text, target, c.typeCode), c.result) << c.typeCode << " " << c.text;
        std::int64_t stored = 0;
        switch (XsdElementSize(c.typeCode)) {
        case 1:
            stored = c.typeCode == XsdUnsignedByte ? std::int64_t{target[0]} : std::int64_t{static_cast<std::int8_t>(target[0])};
            break;
        case 2: {
            std::int16_t narrow;
            std::uint16_t unsignedNarrow;
            std::memcpy(&narrow, target, 2);
            std::memcpy(&unsignedNarrow, target, 2);
            stored = c.typeCode == XsdUnsignedShort ? unsignedNarrow : narrow;
            break;
        }
        case 4: {
            std::int32_t narrow;
            std::uint32_t unsignedNarrow;
            std::memcpy(&narrow, target, 4);
            std::memcpy(&unsignedNarrow, target, 4);
            stored = c.typeCode == XsdUnsignedInt ? std::int64_t{unsignedNarrow} : narrow;
            break;
        }
        default:
            std::memcpy(&stored, target, 8);
        }
        if (c.result == S_OK) {
            EXPECT_EQ(stored, c.value) << c.typeCode << " " << c.text;
        } else {
            EXPECT_EQ(target[0], 0xAB) << "a failed read leaves the target: " << c.text;
        }
    }
}

TEST(ReadXsdValue, UnsignedLongWrapsANegativeText)
{
    struct Case {
        const char* text;
        HRESULT result;
        std::uint64_t value;
    };
    const Case cases[] = {
        {"18446744073709551615", S_OK, 18446744073709551615ull},
        {"18446744073709551616", E_FAIL, 0},
        {"99999999999999999999", E_FAIL, 0},
        {"9999999999999999999", S_OK, 9999999999999999999ull},
        {"  0000000000000000000000000018446744073709551615 ", S_OK, 18446744073709551615ull},
        {"-1", S_OK, 18446744073709551615ull},
        {"0", S_OK, 0},
    };
    for (std::int32_t typeCode : {XsdUnsignedLong, XsdNonNegativeInteger, XsdPositiveInteger}) {
        for (const Case& c : cases) {
            std::uint64_t value = 99;
            EXPECT_EQ(Read(c.text, &value, typeCode), c.result) << c.text;
            EXPECT_EQ(value, c.result == S_OK ? c.value : 99u) << c.text;
        }
    }
}

TEST(ReadXsdValue, DoublesSpecialTextsAndRangeErrors)
{
    struct Case {
        const char* text;
        HRESULT result;
        double value;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"INF", S_OK, inf},      {"-INF", S_OK, -inf},      {" 2.5 ", S_OK, 2.5},   {"-.5", S_OK, -0.5},
        {"+1e3", S_OK, 1000.0},  {"5.", S_OK, 5.0},         {"1E-2", S_OK, 0.01},   {"inf", E_FAIL, 0},
        {"+INF", E_FAIL, 0},     {"Infinity", E_FAIL, 0},   {"nan", E_FAIL, 0},     {"NAN", E_FAIL, 0},
        {" INF", E_FAIL, 0},     {"1e400", E_FAIL, 0},      {"-1e400", E_FAIL, 0},  {"1e-400", E_FAIL, 0},
        {"0x1p3", E_FAIL, 0},    {"", E_FAIL, 0},           {".", E_FAIL, 0},       {"1e", E_FAIL, 0},
        {"1.5.2", E_FAIL, 0},    {"2,5", E_FAIL, 0},
    };
    for (std::int32_t typeCode : {XsdDouble, XsdDecimal}) {
        for (const Case& c : cases) {
            double value = 42;
            EXPECT_EQ(Read(c.text, &value, typeCode), c.result) << c.text;
            EXPECT_EQ(value, c.result == S_OK ? c.value : 42.0) << c.text;
        }
    }
    double nan = 0;
    ASSERT_EQ(Read("NaN", &nan, XsdDouble), S_OK);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &nan, sizeof(bits));
    EXPECT_EQ(bits, 0xFFF8000000000000ull);

    float single = 0;
    EXPECT_EQ(Read("0.25", &single, XsdFloat), S_OK);
    EXPECT_EQ(single, 0.25f);
    EXPECT_EQ(Read("1e300", &single, XsdFloat), S_OK);  // beyond float: infinity
    EXPECT_TRUE(std::isinf(single));
    EXPECT_EQ(Read("NaN", &single, XsdFloat), S_OK);
    EXPECT_TRUE(std::isnan(single));
}

TEST(ReadXsdValue, StringsKeepTheTextAsDelivered)
{
    BSTR text = nullptr;
    ASSERT_EQ(Read(" a&b \t", &text, XsdString), S_OK);
    EXPECT_EQ(std::basic_string<OLECHAR>(text, SysStringLen(text)), Wide(" a&b \t"));
    SysFreeString(text);

    text = nullptr;
    ASSERT_EQ(ReadXsdValue(nullptr, 0, &text, XsdDateTime, DefaultMemoryManager()), S_OK);
    ASSERT_NE(text, nullptr) << "an empty text is an empty string, never null";
    EXPECT_EQ(SysStringLen(text), 0u);
    SysFreeString(text);

    EXPECT_EQ(Read("x", nullptr, XsdString), E_POINTER);
    EXPECT_EQ(Read("1", nullptr, XsdInt), E_POINTER);
}

TEST(ReadXsdValue, BinaryIsLenient)
{
    struct Case {
        std::int32_t typeCode;
        const char* text;
        std::string bytes;  // empty: an empty value
    };
    const Case cases[] = {
        {XsdBase64Binary, "QUJD", "ABC"},
        {XsdBase64Binary, "QU JD", "ABC"},
        {XsdBase64Binary, "QUJD\r\n", "ABC"},
        {XsdBase64Binary, "QQ==", "A"},
        {XsdBase64Binary, "QUI", "AB"},
        {XsdBase64Binary, "Q", ""},
        {XsdBase64Binary, "!!!!", ""},
        {XsdBase64Binary, "", ""},
        {XsdHexBinary, "4142", "AB"},
        {XsdHexBinary, "4a4B", "JK"},
        {XsdHexBinary, "414", ""},
        {XsdHexBinary, "41 42", ""},
        {XsdHexBinary, "4G", ""},
    };
    for (const Case& c : cases) {
        BinaryValue blob{7, nullptr};
        ASSERT_EQ(Read(c.text, &blob, c.typeCode), S_OK) << c.text;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(blob.data), static_cast<std::size_t>(blob.size)),
                  c.bytes)
            << c.text;
        EXPECT_EQ(blob.data == nullptr, c.bytes.empty()) << c.text;
        ReleaseSimpleValue(&blob, c.typeCode, DefaultMemoryManager());
    }
    // Non-ASCII text turns into UTF-8 bytes that base64 skips and hex rejects.
    const OLECHAR accented[] = {'Q', 'U', 0xE9, 'J', 'D'};
    BinaryValue blob{0, nullptr};
    EXPECT_EQ(ReadXsdValue(accented, 5, &blob, XsdBase64Binary, DefaultMemoryManager()), S_OK);
    EXPECT_EQ(blob.size, 3);
    BinaryValue second{0, nullptr};
    EXPECT_EQ(ReadXsdValue(OLESTR("QUJD"), 4, &blob, XsdBase64Binary, DefaultMemoryManager()), E_INVALIDARG)
        << "a filled target is not overwritten";
    EXPECT_EQ(ReadXsdValue(OLESTR("QUJD"), 4, &second, XsdBase64Binary, nullptr), E_FAIL);
    EXPECT_EQ(ReadXsdValue(OLESTR("QUJD"), 4, nullptr, XsdHexBinary, DefaultMemoryManager()), E_POINTER);
    ReleaseSimpleValue(&blob, XsdBase64Binary, DefaultMemoryManager());
}

TEST(XsdValue, CodesThatAreNotSimpleTypesFail)
{
    std::int64_t target = 0;
    for (std::int32_t typeCode : {std::int32_t{UserType}, std::int32_t{XsdUnknownType}, std::int32_t{XsdErrorType}, 44}) {
        EXPECT_EQ(Read("1", &target, typeCode), E_FAIL);
        HRESULT hr = S_OK;
        Written(&target, typeCode, &hr);
        EXPECT_EQ(hr, E_FAIL);
    }
}

TEST(WriteXsdValue, NumbersAndBooleans)
{
    std::uint64_t nanBits = 0x7FF0000000000001ull;  // signalling
    double signallingNaN = 0;
    std::memcpy(&signallingNaN, &nanBits, sizeof(signallingNaN));
    struct Case {
        double value;
        const char* text;
    };
    const Case doubles[] = {
        {1.0, "1"},
        {-0.0, "-0"},
        {0.0, "0"},
        {2.5, "2.5"},
        {-1234.5, "-1234.5"},
        {std::numeric_limits<double>::infinity(), "INF"},
        {-std::numeric_limits<double>::infinity(), "-INF"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {signallingNaN, "NaN"},
        {1e-5, "1.0000000000000000818030539140313095458623138256371021270751953125e-05"},
    };
    for (const Case& c : doubles) {
        EXPECT_EQ(Written(&c.value, XsdDouble), c.text);
        EXPECT_EQ(Written(&c.value, XsdDecimal), c.text);
    }
    // Whatever the digits, a written value reads back unchanged.
    for (double value : {0.1, 1e300, 4.9406564584124654e-324, 123456789.125, -2.2250738585072014e-308}) {
        std::string text = Written(&value, XsdDouble);
        double back = 0;
        ASSERT_EQ(Read(text, &back, XsdDouble), S_OK) << text;
        EXPECT_EQ(back, value) << text;
    }
    float single = 0.5f;
    EXPECT_EQ(Written(&single, XsdFloat), "0.5");

    bool yes = true;
    bool no = false;
    std::uint8_t two = 2;
    EXPECT_EQ(Written(&yes, XsdBoolean), "true");
    EXPECT_EQ(Written(&no, XsdBoolean), "false");
    EXPECT_EQ(Written(&two, XsdBoolean), "false");

    std::int8_t smallest = -128;
    std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
    std::int64_t negative = std::numeric_limits<std::int64_t>::min();
    std::uint16_t port = 65535;
    std::int32_t minusFive = -5;
    EXPECT_EQ(Written(&smallest, XsdByte), "-128");
    EXPECT_EQ(Written(&largest, XsdUnsignedLong), "18446744073709551615");
    EXPECT_EQ(Written(&negative, XsdInteger), "-9223372036854775808");
    EXPECT_EQ(Written(&port, XsdUnsignedShort), "65535");
    EXPECT_EQ(Written(&minusFive, XsdInt), "-5");

    HRESULT hr = S_OK;
    Written(nullptr, XsdInt, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    BSTR none = nullptr;
    Written(&none, XsdAnyUri, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
}

TEST(WriteXsdValue, Base64LinesAt57And58Bytes)
{
    std::vector<unsigned char> bytes(58);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7);
    }
    BinaryValue blob{57, bytes.data()};
    std::string text = Written(&blob, XsdBase64Binary);
    ASSERT_EQ(text.size(), 78u);
    EXPECT_EQ(text.substr(76), "\r\n");
    EXPECT_EQ(text.find('\r'), 76u);

    blob.size = 58;
    text = Written(&blob, XsdBase64Binary);
    ASSERT_EQ(text.size(), 82u);
    EXPECT_EQ(text.substr(76, 2), "\r\n");
    EXPECT_EQ(text.substr(80), "==");

    // Both read back to the same bytes.
    for (int size : {57, 58}) {
        blob.size = size;
        BinaryValue back{0, nullptr};
        ASSERT_EQ(Read(Written(&blob, XsdBase64Binary), &back, XsdBase64Binary), S_OK);
        ASSERT_EQ(back.size, size);
        EXPECT_EQ(std::memcmp(back.data, bytes.data(), static_cast<std::size_t>(size)), 0);
        ReleaseSimpleValue(&back, XsdBase64Binary, DefaultMemoryManager());
    }

    unsigned char hexBytes[] = {0x00, 0x4A, 0xFF};
    BinaryValue hex{3, hexBytes};
    EXPECT_EQ(Written(&hex, XsdHexBinary), "004AFF");
}

}  // namespace
}  // namespace corvel::soap
