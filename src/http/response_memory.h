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
// its allowance. What the process holds for responses is then bounded by
//
//     heap <= (1 + k) x (B + P x A) + P x F      (plus reserved stacks P x S)
//
// with B this budget, A the allowance, P the probes alive at once, F a probe's
// fixed heap (proxy, client, reader state: about 64 KiB), S its stack
// reservation (256 KiB), and k the copies of a response that the SOAP reader
// makes while it reads it (its text as UTF-16, joined and built into the
// answer: k is about 6 as measured with a 10 MB answer). The copies exist
// only while their response holds its share: the probe drops the answer, and
// then the response, before anything else. The scanner starts no probe for a
// session whose probe from an earlier pass still runs, so at most one probe
// per session is in flight: P <= connected sessions. For 200 sessions,
// P = 200:
//     heap <= 7 x (32 MiB + 3.1 MiB) + 200 x 64 KiB = 246 + 12.5 = 259 MiB,
// under 512 MiB of RSS on Linux, where stacks count only as far as they are
// used; and for the 32-bit product 259 MiB + 200 x 256 KiB = 309 MiB of heap
// and reserved stacks, well under 1 GiB of its 2 GiB address space. A
// response of the full 16 MiB still fits with room beside it. A request that
// would pass the budget fails (budgetExhausted) like an oversize response,
// but as the server's own failure: its probe logs nothing off and the next
// pass judges the session again.
inline constexpr std::size_t kProcessResponseBudgetBytes = 32u * 1024u * 1024u;

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
