#pragma once
// Equipment of the hostile-counterpart tests: objects placed flush against an inaccessible
// page, the seeds of the generators (reported when the process faults), and a generator of
// malformed OXLENS answers.
#include <windows.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace hostile {

// One object of type T whose last byte is the last byte of a committed page, followed by a
// PAGE_NOACCESS page (and preceded by one), so that any access past either end faults.
template <typename T>
class Guarded {
public:
    Guarded() {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        const size_t dataPages = (sizeof(T) + page - 1) / page;
        m_size = (dataPages + 2) * page;
        m_base = static_cast<char*>(VirtualAlloc(nullptr, m_size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(m_base, page, PAGE_NOACCESS, &old);
        VirtualProtect(m_base + (dataPages + 1) * page, page, PAGE_NOACCESS, &old);
        m_object = reinterpret_cast<T*>(m_base + (dataPages + 1) * page - sizeof(T));
    }
    ~Guarded() { VirtualFree(m_base, 0, MEM_RELEASE); }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }

private:
    char* m_base = nullptr;
    size_t m_size = 0;
    T* m_object = nullptr;
};

// The seed of the generator at work and what it is doing, printed (with the exception) if the
// process meets an access violation or another fatal exception, so a crash can be replayed.
void setCrashContext(const std::string& context);

// The seeds to run: PLX_HOSTILE_SEED from the environment when set (one seed), else the
// given fixed ones.
std::vector<uint32_t> seeds(std::vector<uint32_t> fixed);

// What the reader of an answer expects: type, sequence number and its buffer's size.
struct Expectation {
    uint16_t type;
    uint16_t seqNum;
    size_t bufferSize;
};

// A malformed (now and then a well-formed) answer: any length from 0 to beyond the buffer,
// signatures valid, swapped or random, types expected or not, announced lengths of 0, below
// the header, below or above what is sent or beyond the buffer, current, stale or random
// sequence numbers, and payloads of random bytes or texts without terminators.
std::vector<uint8_t> malformedAnswer(std::mt19937& rng, const Expectation& expected);

// A channel name for a hostile channel list: ASCII words of any length (also ones that fill
// their 8-character field), OXLENS in any case, look-alikes with non-ASCII letters, surrogate
// pairs, and now and then an unpaired surrogate.
std::wstring hostileChannelName(std::mt19937& rng);

}  // namespace hostile
