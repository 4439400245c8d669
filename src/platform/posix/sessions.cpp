// Terminal services on Linux: the session table <state root>/sessions.
//
//   # comment (also after the content of a line)
//   console <id>
//   <id> <state> <client-address> [<station-name>]
//
// The state is a connect-state name (active, connected, connectquery, shadow,
// disconnected, idle, listen, reset, down, init) or its number 0-9; the
// address is dotted IPv4 or "-" for none. A missing file lists no sessions;
// an unreadable or malformed one fails the enumeration. A logoff removes the
// session's lines by writing a new table beside the old one and renaming it
// into place, so that a reader never sees half a table.
//
// With CORVEL_SESSION_SOURCE=logind at start, every call goes to systemd-logind
// instead (logind_sessions.h).
#include "platform/sessions.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

#include "platform/ascii.h"
#include "platform/posix/descriptor.h"
#include "platform/posix/logind_sessions.h"
#include "platform/process.h"

namespace corvel::platform {

namespace {

constexpr int kAddressFamilyInet = 2;
// A table larger than this is not a session table.
constexpr std::size_t kMaxTableBytes = 16u * 1024u * 1024u;
// The session table never has more than this many words on a line.
constexpr std::size_t kMaxWords = 4;

constexpr std::string_view kStateNames[] = {
    "active", "connected", "connectquery", "shadow", "disconnected", "idle", "listen", "reset", "down", "init",
};

// Logoffs of concurrent probes rewrite the table one at a time.
std::mutex tableLock;
std::atomic<std::uint32_t> rewriteCounter{0};

struct TableSession {
    SessionEntry entry;
    bool hasAddress = false;
    std::uint8_t address[4] = {};
    // The session's line in the table text, its line feed included.
    std::size_t lineStart = 0;
    std::size_t lineEnd = 0;
};

struct SessionTable {
    std::optional<std::uint32_t> consoleSession;
    std::vector<TableSession> sessions;
};

std::string TablePath()
{
    return StateRoot() + "/sessions";
}

enum class ReadResult { read, missing, failed };

ReadResult ReadTableText(std::string& text)
{
    text.clear();
    Descriptor descriptor(::open(TablePath().c_str(), O_RDONLY | O_CLOEXEC));
    if (!descriptor) {
        return errno == ENOENT ? ReadResult::missing : ReadResult::failed;
    }
    char block[4096];
    ReadResult result = ReadResult::read;
    for (;;) {
        ssize_t count = ::read(descriptor.get(), block, sizeof block);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 || text.size() + static_cast<std::size_t>(count) > kMaxTableBytes) {
            result = ReadResult::failed;
            break;
        }
        if (count == 0) {
            break;
        }
        text.append(block, static_cast<std::size_t>(count));
    }
    return result;
}

// The words of a line before its comment; false for more than kMaxWords.
bool SplitWords(std::string_view line, std::vector<std::string_view>& words)
{
    words.clear();
    std::size_t comment = line.find('#');
    if (comment != std::string_view::npos) {
        line = line.substr(0, comment);
    }
    std::size_t position = 0;
    while (position < line.size()) {
        while (position < line.size() && IsInlineSpace(line[position])) {
            ++position;
        }
        std::size_t start = position;
        while (position < line.size() && !IsInlineSpace(line[position])) {
            ++position;
        }
        if (position > start) {
            if (words.size() == kMaxWords) {
                return false;
            }
            words.push_back(line.substr(start, position - start));
        }
    }
    return true;
}

std::optional<std::uint32_t> ParseNumber(std::string_view text)
{
    if (text.empty() || text.size() > 10) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<SessionState> ParseState(std::string_view text)
{
    for (std::size_t index = 0; index < std::size(kStateNames); ++index) {
        if (text.size() != kStateNames[index].size()) {
            continue;
        }
        bool same = true;
        for (std::size_t i = 0; i < text.size() && same; ++i) {
            same = FoldAsciiCase(text[i]) == kStateNames[index][i];
        }
        if (same) {
            return static_cast<SessionState>(index);
        }
    }
    auto number = ParseNumber(text);
    if (number && *number < std::size(kStateNames)) {
        return static_cast<SessionState>(*number);
    }
    return std::nullopt;
}

bool ParseTable(const std::string& text, SessionTable& table)
{
    table = SessionTable{};
    std::vector<std::string_view> words;
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        std::size_t end = text.find('\n', lineStart);
        std::size_t lineEnd = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + lineStart, (end == std::string::npos ? text.size() : end) - lineStart);
        std::size_t thisLine = lineStart;
        lineStart = lineEnd;
        if (!SplitWords(line, words)) {
            return false;
        }
        if (words.empty()) {
            continue;
        }
        if (words[0] == "console") {
            auto id = words.size() == 2 ? ParseNumber(words[1]) : std::nullopt;
            if (!id) {
                return false;
            }
            table.consoleSession = *id;
            continue;
        }
        if (words.size() < 3) {
            return false;
        }
        auto id = ParseNumber(words[0]);
        auto state = ParseState(words[1]);
        if (!id || !state) {
            return false;
        }
        TableSession session;
        session.lineStart = thisLine;
        session.lineEnd = lineEnd;
        session.entry.sessionId = *id;
        session.entry.state = *state;
        if (words.size() == 4) {
            session.entry.windowStationName.assign(words[3]);
        }
        if (words[2] != "-") {
            std::string address(words[2]);
            in_addr parsed{};
            if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
                return false;
            }
            session.hasAddress = true;
            std::memcpy(session.address, &parsed.s_addr, sizeof session.address);
        }
        table.sessions.push_back(std::move(session));
    }
    return true;
}

// Reads and parses the table; a missing file is an empty table.
bool LoadTable(SessionTable& table)
{
    std::string text;
    switch (ReadTableText(text)) {
    case ReadResult::missing: table = SessionTable{}; return true;
    case ReadResult::failed: return false;
    case ReadResult::read: break;
    }
    return ParseTable(text, table);
}

bool WriteWhole(int descriptor, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t count = ::write(descriptor, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(count);
    }
    return true;
}

// The session source is chosen once, at the first session call.
bool FromLogind()
{
    static const bool logind = [] {
        const char* source = std::getenv("CORVEL_SESSION_SOURCE");
        return source != nullptr && std::string_view(source) == "logind";
    }();
    return logind;
}

}  // namespace

std::uint32_t ActiveConsoleSessionId()
{
    if (FromLogind()) {
        return logind::ActiveConsoleSessionId();
    }
    SessionTable table;
    if (!LoadTable(table) || !table.consoleSession) {
        return kNoConsoleSession;
    }
    return *table.consoleSession;
}

bool EnumerateSessions(std::vector<SessionEntry>& sessions)
{
    if (FromLogind()) {
        return logind::EnumerateSessions(sessions);
    }
    sessions.clear();
    SessionTable table;
    if (!LoadTable(table)) {
        return false;
    }
    sessions.reserve(table.sessions.size());
    for (TableSession& session : table.sessions) {
        sessions.push_back(std::move(session.entry));
    }
    return true;
}

bool QueryClientAddress(std::uint32_t sessionId, ClientAddressRecord& record)
{
    if (FromLogind()) {
        return logind::QueryClientAddress(sessionId, record);
    }
    SessionTable table;
    if (!LoadTable(table)) {
        return false;
    }
    for (const TableSession& session : table.sessions) {
        if (session.entry.sessionId != sessionId) {
            continue;
        }
        // A session without a client address has nothing to answer.
        if (!session.hasAddress) {
            return false;
        }
        record = ClientAddressRecord{};
        record.addressFamily = kAddressFamilyInet;
        std::memcpy(record.address + 2, session.address, sizeof session.address);
        return true;
    }
    return false;
}

bool QueryConnectState(std::uint32_t sessionId, SessionState& state)
{
    if (FromLogind()) {
        return logind::QueryConnectState(sessionId, state);
    }
    SessionTable table;
    if (!LoadTable(table)) {
        return false;
    }
    for (const TableSession& session : table.sessions) {
        if (session.entry.sessionId == sessionId) {
            state = session.entry.state;
            return true;
        }
    }
    return false;
}

bool LogoffSession(std::uint32_t sessionId, bool wait)
{
    if (FromLogind()) {
        return logind::LogoffSession(sessionId, wait);
    }
    // The rewrite is done before the call returns, whatever wait says.
    std::lock_guard<std::mutex> guard(tableLock);
    std::string text;
    if (ReadTableText(text) != ReadResult::read) {
        return false;
    }
    SessionTable table;
    if (!ParseTable(text, table)) {
        return false;
    }

    // Every other line, comments included, stays as it was.
    std::string kept;
    kept.reserve(text.size());
    bool removed = false;
    std::size_t copied = 0;
    for (const TableSession& session : table.sessions) {
        if (session.entry.sessionId == sessionId) {
            kept.append(text, copied, session.lineStart - copied);
            copied = session.lineEnd;
            removed = true;
        }
    }
    kept.append(text, copied, std::string::npos);
    if (!removed) {
        return false;
    }

    std::string path = TablePath();
    std::string temporary = path + ".logoff." + std::to_string(::getpid()) + "." +
                            std::to_string(rewriteCounter.fetch_add(1));
    Descriptor descriptor(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!descriptor) {
        return false;
    }
    // No fsync: readers need only the rename's atomicity, and a table lost
    // with the machine is lost with its sessions too.
    bool written = WriteWhole(descriptor.get(), kept);
    written = ::close(descriptor.release()) == 0 && written;  // a failing close fails the rewrite
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool QueryOsVersion(OsVersionRecord& record)
{
    if (FromLogind()) {
        return logind::QueryOsVersion(record);
    }
    // There is no Windows version to report: the record reads as all zero.
    record = OsVersionRecord{};
    return true;
}

}  // namespace corvel::platform
