// A terminal-services stand-in for Wine, whose own wtsapi32.dll lists no
// sessions: built as wtsapi32.dll and loaded in place of Wine's
// (WINEDLLOVERRIDES="wtsapi32=n,b", the DLL beside the program). It answers
// the calls of the session watchdog from the same session table file as the
// Linux build:
//
//   # comment (also after the content of a line)
//   console <id>
//   <id> <state> <client-address> [<station-name>]
//
// The table is <root>\sessions, the root being %CORVEL_ROOT% or the directory
// of the process's executable. A missing table lists no sessions; an
// unreadable or malformed one fails every call. A logoff removes the
// session's lines (a new table renamed into place); logging off a session
// that is not there fails. The console line is read for the Linux build's
// sake only: on Windows the console session comes from kernel32.
//
// Failing on demand: a file <root>\sessions.fail naming any of the words
// enumerate, query, logoff makes that call fail (ERROR_ACCESS_DENIED).
//
// The structures are the SDK's (wtsapi32.h), so a program that reads them
// with another layout sees garbage here, as it would on Windows. Every block
// handed out carries a guard word; WTSFreeMemory of anything else ends the
// process with a message, since it would corrupt the heap on Windows.
#include <windows.h>
#include <wtsapi32.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kMaxTableBytes = 16u * 1024u * 1024u;
constexpr std::size_t kMaxWords = 4;
constexpr DWORD kGuard = 0x57545331;  // "WTS1"
constexpr DWORD kAddressFamilyInet = 2;

constexpr std::string_view kStateNames[] = {
    "active", "connected", "connectquery", "shadow", "disconnected", "idle", "listen", "reset", "down", "init",
};

struct Session {
    DWORD id = 0;
    WTS_CONNECTSTATE_CLASS state = WTSDown;
    bool hasAddress = false;
    BYTE address[4] = {};
    std::string station;
    std::size_t lineStart = 0;
    std::size_t lineEnd = 0;
};

// One table access at a time, across the threads and processes of the prefix.
class TableLock {
public:
    TableLock() : mutex(CreateMutexA(nullptr, FALSE, "Local\\corvel-wtsapi32-standin"))
    {
        if (mutex != nullptr) {
            WaitForSingleObject(mutex, INFINITE);
        }
    }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
    ~TableLock()
    {
        if (mutex != nullptr) {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        }
    }

private:
    HANDLE mutex;
};

std::string Root()
{
    char buffer[MAX_PATH + 1];
    DWORD length = GetEnvironmentVariableA("CORVEL_ROOT", buffer, sizeof buffer);
    if (length > 0 && length < sizeof buffer) {
        return std::string(buffer, length);
    }
    length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    std::string path(buffer, length < sizeof buffer ? length : 0);
    std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

enum class ReadResult { read, missing, failed };

ReadResult ReadFileText(const std::string& path, std::string& text)
{
    text.clear();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::missing
                                                                               : ReadResult::failed;
    }
    ReadResult result = ReadResult::read;
    char block[4096];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(file, block, sizeof block, &count, nullptr) || text.size() + count > kMaxTableBytes) {
            result = ReadResult::failed;
            break;
        }
        if (count == 0) {
            break;
        }
        text.append(block, count);
    }
    CloseHandle(file);
    return result;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool SplitWords(std::string_view line, std::vector<std::string_view>& words)
{
    words.clear();
    if (std::size_t comment = line.find('#'); comment != std::string_view::npos) {
        line = line.substr(0, comment);
    }
    std::size_t position = 0;
    while (position < line.size()) {
        while (position < line.size() && IsBlank(line[position])) {
            ++position;
        }
        std::size_t start = position;
        while (position < line.size() && !IsBlank(line[position])) {
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

bool ParseNumber(std::string_view text, DWORD& value)
{
    if (text.empty() || text.size() > 10) {
        return false;
    }
    unsigned long long number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    if (number > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<DWORD>(number);
    return true;
}

bool ParseState(std::string_view text, WTS_CONNECTSTATE_CLASS& state)
{
    for (std::size_t index = 0; index < std::size(kStateNames); ++index) {
        if (text.size() == kStateNames[index].size() &&
            _strnicmp(text.data(), kStateNames[index].data(), text.size()) == 0) {
            state = static_cast<WTS_CONNECTSTATE_CLASS>(index);
            return true;
        }
    }
    DWORD number = 0;
    if (ParseNumber(text, number) && number < std::size(kStateNames)) {
        state = static_cast<WTS_CONNECTSTATE_CLASS>(number);
        return true;
    }
    return false;
}

// Dotted IPv4: four decimal parts of 0 to 255 without leading zeros.
bool ParseAddress(std::string_view text, BYTE (&address)[4])
{
    std::size_t position = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (position >= text.size() || text[position] != '.') {
                return false;
            }
            ++position;
        }
        std::size_t start = position;
        unsigned value = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9' && position - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[position] - '0');
            ++position;
        }
        std::size_t digits = position - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) {
            return false;
        }
        address[part] = static_cast<BYTE>(value);
    }
    return position == text.size();
}

bool ParseTable(const std::string& text, std::vector<Session>& sessions)
{
    sessions.clear();
    std::vector<std::string_view> words;
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        std::size_t end = text.find('\n', lineStart);
        std::size_t contentEnd = end == std::string::npos ? text.size() : end;
        std::size_t lineEnd = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + lineStart, contentEnd - lineStart);
        std::size_t thisLine = lineStart;
        lineStart = lineEnd;
        if (!SplitWords(line, words)) {
            return false;
        }
        if (words.empty()) {
            continue;
        }
        DWORD number = 0;
        if (words[0] == "console") {
            if (words.size() != 2 || !ParseNumber(words[1], number)) {
                return false;
            }
            continue;
        }
        Session session;
        if (words.size() < 3 || !ParseNumber(words[0], session.id) || !ParseState(words[1], session.state)) {
            return false;
        }
        if (words[2] != "-") {
            if (!ParseAddress(words[2], session.address)) {
                return false;
            }
            session.hasAddress = true;
        }
        if (words.size() == 4) {
            session.station.assign(words[3]);
        }
        session.lineStart = thisLine;
        session.lineEnd = lineEnd;
        sessions.push_back(std::move(session));
    }
    return true;
}

// Whether <root>\sessions.fail names the call.
bool FailsOnDemand(std::string_view call)
{
    std::string text;
    if (ReadFileText(Root() + "\\sessions.fail", text) != ReadResult::read) {
        return false;
    }
    std::vector<std::string_view> words;
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        std::size_t end = text.find('\n', lineStart);
        std::size_t contentEnd = end == std::string::npos ? text.size() : end;
        if (SplitWords(std::string_view(text.data() + lineStart, contentEnd - lineStart), words)) {
            for (std::string_view word : words) {
                if (word == call) {
                    return true;
                }
            }
        }
        lineStart = end == std::string::npos ? text.size() : end + 1;
    }
    return false;
}

bool Fail(DWORD error)
{
    SetLastError(error);
    return false;
}

// The table for one call (the caller holds the TableLock); text keeps the
// file's bytes for a rewrite. False, with the thread's last error set, when
// the call is to fail on demand or the table cannot be read.
bool LoadTableFor(std::string_view call, std::string& text, std::vector<Session>& sessions)
{
    sessions.clear();
    if (FailsOnDemand(call)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    switch (ReadFileText(Root() + "\\sessions", text)) {
    case ReadResult::missing: return true;
    case ReadResult::failed: return Fail(ERROR_INVALID_DATA);
    case ReadResult::read: break;
    }
    return ParseTable(text, sessions) || Fail(ERROR_INVALID_DATA);
}

// A block for the caller, released by WTSFreeMemory: a guard word in front.
void* Allocate(std::size_t bytes)
{
    constexpr std::size_t kHeader = 2 * sizeof(void*);  // keeps the block pointer-aligned
    auto* block = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes + kHeader));
    if (block == nullptr) {
        return nullptr;
    }
    *reinterpret_cast<DWORD*>(block) = kGuard;
    return block + kHeader;
}

bool IsCurrentServer(HANDLE server)
{
    return server == WTS_CURRENT_SERVER_HANDLE;
}

}  // namespace

extern "C" {

// Exported by name: a definition without dllexport would export the static
// runtime's symbols too.
__declspec(dllexport) WINBOOL WINAPI WTSEnumerateSessionsA(HANDLE hServer, DWORD Reserved, DWORD Version,
                                                           PWTS_SESSION_INFOA* ppSessionInfo, DWORD* pCount)
{
    if (ppSessionInfo == nullptr || pCount == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *ppSessionInfo = nullptr;
    *pCount = 0;
    if (!IsCurrentServer(hServer) || Reserved != 0 || Version != 1) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    TableLock lock;
    std::string text;
    std::vector<Session> sessions;
    if (!LoadTableFor("enumerate", text, sessions)) {
        return FALSE;
    }
    // One block: the entries, then the station names they point at.
    std::size_t bytes = sessions.size() * sizeof(WTS_SESSION_INFOA);
    for (const Session& session : sessions) {
        bytes += session.station.size() + 1;
    }
    auto* entries = static_cast<WTS_SESSION_INFOA*>(Allocate(bytes));
    if (entries == nullptr) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    char* names = reinterpret_cast<char*>(entries + sessions.size());
    for (std::size_t index = 0; index < sessions.size(); ++index) {
        entries[index].SessionId = sessions[index].id;
        entries[index].State = sessions[index].state;
        entries[index].pWinStationName = names;
        std::memcpy(names, sessions[index].station.c_str(), sessions[index].station.size() + 1);
        names += sessions[index].station.size() + 1;
    }
    *ppSessionInfo = entries;
    *pCount = static_cast<DWORD>(sessions.size());
    return TRUE;
}

__declspec(dllexport) WINBOOL WINAPI WTSQuerySessionInformationA(HANDLE hServer, DWORD SessionId,
                                                                 WTS_INFO_CLASS WTSInfoClass, LPSTR* ppBuffer,
                                                                 DWORD* pBytesReturned)
{
    if (ppBuffer == nullptr || pBytesReturned == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *ppBuffer = nullptr;
    *pBytesReturned = 0;
    if (!IsCurrentServer(hServer)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    TableLock lock;
    std::string text;
    std::vector<Session> sessions;
    if (!LoadTableFor("query", text, sessions)) {
        return FALSE;
    }
    const Session* found = nullptr;
    for (const Session& session : sessions) {
        if (session.id == SessionId) {
            found = &session;
            break;
        }
    }
    if (found == nullptr) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    void* answer = nullptr;
    DWORD bytes = 0;
    switch (WTSInfoClass) {
    case WTSClientAddress: {
        // A session without a client address has nothing to answer.
        if (!found->hasAddress) {
            return Fail(ERROR_FILE_NOT_FOUND);
        }
        bytes = sizeof(WTS_CLIENT_ADDRESS);
        auto* address = static_cast<WTS_CLIENT_ADDRESS*>(Allocate(bytes));
        if (address != nullptr) {
            address->AddressFamily = kAddressFamilyInet;
            std::memcpy(address->Address + 2, found->address, sizeof found->address);
        }
        answer = address;
        break;
    }
    case WTSSessionId:
    case WTSConnectState: {
        bytes = sizeof(DWORD);
        auto* value = static_cast<DWORD*>(Allocate(bytes));
        if (value != nullptr) {
            *value = WTSInfoClass == WTSSessionId ? found->id : static_cast<DWORD>(found->state);
        }
        answer = value;
        break;
    }
    case WTSWinStationName: {
        bytes = static_cast<DWORD>(found->station.size() + 1);
        answer = Allocate(bytes);
        if (answer != nullptr) {
            std::memcpy(answer, found->station.c_str(), bytes);
        }
        break;
    }
    default: return Fail(ERROR_NOT_SUPPORTED);
    }
    if (answer == nullptr) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    *ppBuffer = static_cast<LPSTR>(answer);
    *pBytesReturned = bytes;
    return TRUE;
}

__declspec(dllexport) WINBOOL WINAPI WTSLogoffSession(HANDLE hServer, DWORD SessionId,
                                                      WINBOOL /*bWait: done before the call returns*/)
{
    if (!IsCurrentServer(hServer)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    TableLock lock;
    std::string text;
    std::vector<Session> sessions;
    if (!LoadTableFor("logoff", text, sessions)) {
        return FALSE;
    }
    // Every other line, comments included, stays as it was.
    std::string kept;
    std::size_t copied = 0;
    bool removed = false;
    for (const Session& session : sessions) {
        if (session.id == SessionId) {
            kept.append(text, copied, session.lineStart - copied);
            copied = session.lineEnd;
            removed = true;
        }
    }
    if (!removed) {
        return Fail(ERROR_FILE_NOT_FOUND);
    }
    kept.append(text, copied, std::string::npos);

    const std::string path = Root() + "\\sessions";
    const std::string temporary = path + ".logoff." + std::to_string(GetCurrentProcessId());
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    DWORD written = 0;
    BOOL wrote = kept.empty() || WriteFile(file, kept.data(), static_cast<DWORD>(kept.size()), &written, nullptr);
    CloseHandle(file);
    if (!wrote || written != kept.size() ||
        !MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DWORD error = GetLastError();
        DeleteFileA(temporary.c_str());
        return Fail(error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT);
    }
    return TRUE;
}

__declspec(dllexport) VOID WINAPI WTSFreeMemory(PVOID pMemory)
{
    if (pMemory == nullptr) {
        return;
    }
    BYTE* block = static_cast<BYTE*>(pMemory) - 2 * sizeof(void*);
    if (*reinterpret_cast<DWORD*>(block) != kGuard) {
        std::fprintf(stderr, "wtsapi32 stand-in: WTSFreeMemory of a block it did not hand out\n");
        std::fflush(stderr);
        std::abort();
    }
    *reinterpret_cast<DWORD*>(block) = 0;  // so that a second release of the block is likely to show
    HeapFree(GetProcessHeap(), 0, block);
}

}  // extern "C"
