// What responses may hold in memory. Each response is charged by its reader
// as it buffers bytes: against the per-response cap for everything it costs,
// and, for what it holds beyond a small allowance of its own, against one
// budget shared by every response in flight in the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace corvel::http {

// Everything one response costs counts against this: the status line, the
// header block, interim answers, chunk framing and data, trailers, and the
// header table's names, values (joined values included) and entries. A
// response that would pass it fails with "response too large".
inline constexpr std::uint32_t kMaxResponseBytes = 16u * 1024u * 1024u;

// Heap bytes a response may hold without drawing on the shared budget. A
// terminal's normal answer (a TestResponse or a fault is well under 4 KiB,
// which the client holds inline) always fits, so hostile terminals that have
// taken the whole budget cannot make the answers of well-behaved ones fail.
inline constexpr std::size_t kResponseAllowanceBytes = 16u * 1024u;

// The budget shared by all responses in flight, for what each holds beyond
// its allowance. It is sized from the 32-bit product's 2 GiB of address space,
// of which the service's heap and thread stacks are to stay under 1 GiB with
// 200 connected sessions. A probe runs for at most its 10 s deadline and the
// scanner starts one per session every 3 s, so at most 4 probes per session
// (P = 800) are alive at once. They reserve 800 x 256 KiB = 200 MiB of stack
// and hold 800 x (16 KiB allowance + about 40 KiB of fixed per-probe heap)
// = 44 MiB. While a response is read into the SOAP reader, the reader holds
// copies of its text (as UTF-16) that are bounded by a small multiple k of
// the response (k <= 4 measured), so responses in flight cost at most
// (1 + k) x (budget + allowances). With 96 MiB: 5 x (96 + 12.5) MiB = 543 MiB;
// 543 + 200 + 44 < 800 MiB, well inside 1 GiB, and six 16 MiB answers fit at
// once. A request that would pass it fails like an oversize response.
inline constexpr std::size_t kProcessResponseBudgetBytes = 96u * 1024u * 1024u;

// The shared budget: reservations are refused rather than exceeding the limit.
class ResponseBudget {
public:
    explicit ResponseBudget(std::size_t limitBytes) : limit(limitBytes) {}
    ResponseBudget(const ResponseBudget&) = delete;
    ResponseBudget& operator=(const ResponseBudget&) = delete;

    // True when the bytes fit beside what is reserved already; nothing is
    // reserved otherwise.
    bool Reserve(std::size_t bytes);
    void Release(std::size_t bytes);

    std::size_t InUse() const { return inUse.load(); }
    std::size_t Limit() const { return limit.load(); }
    // Tests lower the limit to exhaust the budget with few peers.
    void SetLimit(std::size_t limitBytes) { limit.store(limitBytes); }

private:
    std::atomic<std::size_t> inUse{0};
    std::atomic<std::size_t> limit;
};

// The one budget of the process (kProcessResponseBudgetBytes).
ResponseBudget& ProcessResponseBudget();

// The heap bytes one response holds, charged to the shared budget beyond the
// allowance. Everything still held is given back when the account ends.
class ResponseMemory {
public:
    explicit ResponseMemory(ResponseBudget& sharedBudget = ProcessResponseBudget()) : budget(&sharedBudget) {}
    ResponseMemory(const ResponseMemory&) = delete;
    ResponseMemory& operator=(const ResponseMemory&) = delete;
    ~ResponseMemory() { Free(held); }

    // The response is about to hold bytes more: false, and nothing held, when
    // the shared budget has no room for them.
    bool Hold(std::size_t bytes);
    void Free(std::size_t bytes);

    std::size_t Held() const { return held; }
    std::size_t Reserved() const { return reserved; }

private:
    std::size_t ReservationFor(std::size_t heldBytes) const
    {
        return heldBytes > kResponseAllowanceBytes ? heldBytes - kResponseAllowanceBytes : 0;
    }

    ResponseBudget* budget;
    std::size_t held = 0;
    std::size_t reserved = 0;
};

}  // namespace corvel::http
