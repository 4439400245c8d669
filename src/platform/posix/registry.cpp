// The registry on Linux: a directory tree under <state root>/registry.
// Writes go to a temporary file that is renamed into place, so a value is
// never seen half written. A DWORD is read as decimal or 0x hex text; any
// other text is a value that cannot be read.
#include "platform/registry.h"

#include <cerrno>
#include <cstdio>
#include <optional>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ascii.h"
#include "platform/posix/descriptor.h"
#include "platform/process.h"

namespace corvel::platform {

struct RegistryKeyRecord {
    std::string directory;
};

namespace {

constexpr long kErrorAccessDenied = 5;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorInvalidData = 13;

// A DWORD file longer than this is no DWORD.
constexpr std::size_t kMaxDwordTextBytes = 64;

// The white space a DWORD file may have around its number: space, tab and
// line ends (not the vertical tab or form feed).
bool IsSpaceAroundDword(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A DWORD as text: decimal (leading zeros are decimal too, never octal), or
// 0x followed by hex digits, with white space around it; a decimal number may
// carry a minus sign (the value's two's complement is kept). Anything else,
// or a number beyond 32 bits, is no DWORD.
std::optional<std::uint32_t> ParseDwordText(std::string_view text)
{
    while (!text.empty() && IsSpaceAroundDword(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsSpaceAroundDword(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (!text.empty() && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t number = 0;
    for (char c : text) {
        int value = HexDigitValue(c);
        if (value < 0 || static_cast<unsigned>(value) >= base) {
            return std::nullopt;
        }
        unsigned digit = static_cast<unsigned>(value);
        number = number * base + digit;
        if (number > 0xFFFFFFFFull) {
            return std::nullopt;
        }
    }
    if (negative) {
        if (number > 0x80000000ull) {
            return std::nullopt;
        }
        return static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(number));
    }
    return static_cast<std::uint32_t>(number);
}

long FromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR: return kErrorFileNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    default: return error == 0 ? kErrorInvalidData : 1000 + error;
    }
}

std::string KeyDirectory(const char* subKey)
{
    std::string path = StateRoot() + "/registry/HKEY_LOCAL_MACHINE";
    std::string relative = subKey == nullptr ? "" : subKey;
    for (char& c : relative) {
        if (c == '\\') {
            c = '/';
        }
    }
    if (!relative.empty() && relative.front() != '/') {
        path += '/';
    }
    path += relative;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

bool IsDirectory(const std::string& path)
{
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int MakeDirectories(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        std::string prefix = slash == std::string::npos ? path : path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            return errno;
        }
        if (slash == std::string::npos) {
            return IsDirectory(path) ? 0 : ENOTDIR;
        }
    }
}

long WriteValue(RegistryKey key, const char* name, const std::string& content)
{
    if (key == nullptr || name == nullptr) {
        return kErrorInvalidHandle;
    }
    std::string target = key->directory + "/" + name;
    std::string temporary = target + ".tmp" + std::to_string(::getpid());
    Descriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file) {
        return FromErrno(errno);
    }
    bool written = ::write(file.get(), content.data(), content.size()) == static_cast<ssize_t>(content.size());
    bool synced = ::fsync(file.get()) == 0;
    int closeError = ::close(file.release());  // a failing close fails the write
    if (!written || !synced || closeError != 0 || ::rename(temporary.c_str(), target.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return FromErrno(error);
    }
    return kErrorSuccess;
}

}  // namespace

long OpenRegistryKey(const char* subKey, std::uint32_t /*access*/, RegistryKey* key)
{
    std::string directory = KeyDirectory(subKey);
    if (!IsDirectory(directory)) {
        return kErrorFileNotFound;
    }
    *key = new RegistryKeyRecord{directory};
    return kErrorSuccess;
}

long CreateRegistryKey(const char* subKey, std::uint32_t /*access*/, RegistryKey* key)
{
    std::string directory = KeyDirectory(subKey);
    if (int error = MakeDirectories(directory); error != 0) {
        return FromErrno(error);
    }
    *key = new RegistryKeyRecord{directory};
    return kErrorSuccess;
}

long QueryRegistryDword(RegistryKey key, const char* name, std::int32_t* value)
{
    if (key == nullptr || name == nullptr) {
        return kErrorInvalidHandle;
    }
    FileStream file(std::fopen((key->directory + "/" + name).c_str(), "re"));
    if (!file) {
        return FromErrno(errno);
    }
    char text[kMaxDwordTextBytes + 1] = {};
    std::size_t length = std::fread(text, 1, sizeof text, file.get());
    file.reset();
    if (length > kMaxDwordTextBytes) {
        return kErrorInvalidData;
    }
    std::optional<std::uint32_t> number = ParseDwordText(std::string_view(text, length));
    if (!number) {
        return kErrorInvalidData;
    }
    *value = static_cast<std::int32_t>(*number);
    return kErrorSuccess;
}

long SetRegistryDword(RegistryKey key, const char* name, std::uint32_t value)
{
    return WriteValue(key, name, std::to_string(value) + "\n");
}

long SetRegistryExpandString(RegistryKey key, const char* name, const std::string& value)
{
    return WriteValue(key, name, value);
}

long FlushRegistryKey(RegistryKey key)
{
    if (key == nullptr) {
        return kErrorInvalidHandle;
    }
    Descriptor directory(::open(key->directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        return FromErrno(errno);
    }
    int result = ::fsync(directory.get());
    directory.reset();
    return result == 0 ? kErrorSuccess : FromErrno(errno);
}

void CloseRegistryKey(RegistryKey key)
{
    delete key;
}

}  // namespace corvel::platform
