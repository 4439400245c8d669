// The registry: values round-trip, absent keys and values are reported as
// "not found", and on Linux the tree's files read as documented.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/registry.h"
#include "support/state_root.h"

namespace {

using namespace corvel::platform;

constexpr char kTestKey[] = "SOFTWARE\\Corvel Tests\\Registry";

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
#if !defined(_WIN32)
        stateRoot.emplace("corvel-registry");
        root = stateRoot->path();
#endif
    }
    void TearDown() override
    {
        stateRoot.reset();
    }
    std::optional<corvel::testing::TemporaryStateRoot> stateRoot;
    std::filesystem::path root;
};

TEST_F(Registry, ValuesRoundTripAndAbsenceIsNotFound)
{
    RegistryKey key = nullptr;
    EXPECT_EQ(OpenRegistryKey("SOFTWARE\\Corvel Tests\\Absent", kKeyQueryValue, &key), kErrorFileNotFound);
    ASSERT_EQ(CreateRegistryKey(kTestKey, kKeyWrite | kKeyQueryValue, &key), kErrorSuccess);
    EXPECT_EQ(SetRegistryDword(key, "Current", 0xFFFFFFFEu), kErrorSuccess);
    EXPECT_EQ(FlushRegistryKey(key), kErrorSuccess);
    std::int32_t value = 0;
    EXPECT_EQ(QueryRegistryDword(key, "Current", &value), kErrorSuccess);
    EXPECT_EQ(value, -2);
    value = 7;
    EXPECT_EQ(QueryRegistryDword(key, "Absent", &value), kErrorFileNotFound);
    EXPECT_EQ(value, 7) << "an absent value leaves the target as it was";
    CloseRegistryKey(key);

    ASSERT_EQ(OpenRegistryKey(kTestKey, kKeyQueryValue, &key), kErrorSuccess);
    EXPECT_EQ(QueryRegistryDword(key, "Current", &value), kErrorSuccess);
    EXPECT_EQ(value, -2);
    CloseRegistryKey(key);
}

#if !defined(_WIN32)
TEST_F(Registry, LinuxTreeHoldsDecimalTextAndReadsDecimalOrHexOnly)
{
    RegistryKey key = nullptr;
    ASSERT_EQ(CreateRegistryKey(kTestKey, kKeyWrite, &key), kErrorSuccess);
    SetRegistryDword(key, "Start", 10);
    std::filesystem::path directory = root / "registry/HKEY_LOCAL_MACHINE/SOFTWARE/Corvel Tests/Registry";
    std::ifstream written(directory / "Start");
    std::string text((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "10\n");

    // Decimal (leading zeros are decimal, never octal) or 0x hex; any other
    // text is a failed read that leaves the target as it was.
    constexpr std::int32_t kUntouched = 7;
    struct Case {
        std::string content;
        long result;
        std::int32_t value;
    };
    const Case cases[] = {
        {"0x1F\n", kErrorSuccess, 31},
        {"0XfF", kErrorSuccess, 255},
        {"0x00000010\n", kErrorSuccess, 16},
        {"0xFFFFFFFF\n", kErrorSuccess, -1},
        {"  42", kErrorSuccess, 42},
        {"010\n", kErrorSuccess, 10},
        {"08\n", kErrorSuccess, 8},
        {"0009\r\n", kErrorSuccess, 9},
        {"0\n", kErrorSuccess, 0},
        {"-5\n", kErrorSuccess, -5},
        {"4294967295\n", kErrorSuccess, -1},
        {"junk\n", 13, kUntouched},
        {"", 13, kUntouched},
        {"\n", 13, kUntouched},
        {"0x\n", 13, kUntouched},
        {"0x1G", 13, kUntouched},
        {"08abc", 13, kUntouched},
        {"1e3", 13, kUntouched},
        {"+5", 13, kUntouched},
        {"5 6", 13, kUntouched},
        {"--5", 13, kUntouched},
        {"-0x5", 13, kUntouched},
        {"4294967296\n", 13, kUntouched},
        {"0x100000000", 13, kUntouched},
        {"-2147483649", 13, kUntouched},
        {std::string(100, '0') + "1", 13, kUntouched},  // longer than any DWORD text
    };
    for (const Case& entry : cases) {
        std::ofstream(directory / "Inc", std::ios::trunc) << entry.content;
        std::int32_t value = kUntouched;
        EXPECT_EQ(QueryRegistryDword(key, "Inc", &value), entry.result) << entry.content;
        EXPECT_EQ(value, entry.value) << entry.content;
    }
    CloseRegistryKey(key);
}
#endif

}  // namespace
