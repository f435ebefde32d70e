// plxsoak: many host threads call icasrv_get_remote_info, icasrv_get_remote_info_v2 and
// icasrv_cleanup in random order against a substitute counterpart whose latency jitters, whose
// payload changes all the time and which has faults armed from a separate thread. The run
// passes with no crash, no deadlock, no torn record and nothing left outstanding in the
// substitute's accounting after a final cleanup.
//
//   plxsoak [--seconds N] [--threads N] [--seed N] [--no-faults] [--unload-wfapi]
//
// --unload-wfapi: the soak does not hold WFAPI.DLL itself, as a real host does not, so every
// cleanup really unloads it; the substitute then plays the session of a scenario file (its
// payload is fixed and faults cannot be armed from outside).
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "soak_records.h"
#include "wfapi/wfsim_control.h"

using namespace bench;

namespace {

struct Options {
    double seconds = 12;
    int threads = 16;
    unsigned seed = 1;
    bool unloadWfapi = false;
    bool faults = true;
};

// The control API of the substitute, taken from the module by name (it is not imported, so
// that --unload-wfapi can leave the module to the library alone).
struct SimControl {
    decltype(&wfsim_reset) reset = nullptr;
    decltype(&wfsim_set_latency) setLatency = nullptr;
    decltype(&wfsim_set_client_info) setClientInfo = nullptr;
    decltype(&wfsim_set_client_info_v2) setClientInfoV2 = nullptr;
    decltype(&wfsim_set_fault) setFault = nullptr;
    decltype(&wfsim_set_connect_state) setConnectState = nullptr;
    decltype(&wfsim_set_channels) setChannels = nullptr;
    decltype(&wfsim_get_counters) getCounters = nullptr;
    decltype(&wfsim_outstanding) outstanding = nullptr;
};

SimControl loadSimControl() {
    SimControl c;
    HMODULE sim = LoadLibraryW((exeDir() + L"\\" PLX_WFAPI_NAME_W).c_str());
    if (sim != nullptr) {
        c.reset = procAs<decltype(c.reset)>(sim, "wfsim_reset");
        c.setLatency = procAs<decltype(c.setLatency)>(sim, "wfsim_set_latency");
        c.setClientInfo = procAs<decltype(c.setClientInfo)>(sim, "wfsim_set_client_info");
        c.setClientInfoV2 = procAs<decltype(c.setClientInfoV2)>(sim, "wfsim_set_client_info_v2");
        c.setFault = procAs<decltype(c.setFault)>(sim, "wfsim_set_fault");
        c.setConnectState = procAs<decltype(c.setConnectState)>(sim, "wfsim_set_connect_state");
        c.setChannels = procAs<decltype(c.setChannels)>(sim, "wfsim_set_channels");
        c.getCounters = procAs<decltype(c.getCounters)>(sim, "wfsim_get_counters");
        c.outstanding = procAs<decltype(c.outstanding)>(sim, "wfsim_outstanding");
    }
    if (!c.reset || !c.setLatency || !c.setClientInfo || !c.setClientInfoV2 || !c.setFault || !c.setConnectState ||
        !c.setChannels || !c.getCounters || !c.outstanding) {
        std::fprintf(stderr, "plxsoak: cannot load the substitute " PLX_WFAPI_NAME "'s control API\n");
        std::exit(2);
    }
    return c;
}

// ---- what the host threads see -------------------------------------------------------------

enum Call { CallGet, CallGetV2, CallCleanup, CallKinds };
const char* const kCallNames[CallKinds] = {"icasrv_get_remote_info", "icasrv_get_remote_info_v2", "icasrv_cleanup"};

struct Tally {
    std::mutex mutex;
    std::map<int, long long> results[CallKinds];
    double longestMs[CallKinds] = {};
    long long dataRecords = 0;
    long long defaultRecords = 0;
    long long torn = 0;
    std::string firstTorn;
    uint32_t newestGeneration = 0;
};
Tally g_tally;

// The callbacks copy the record, as a host does; the check runs after the call returned.
thread_local ClientInfoV2 t_record;
void PLX_CDECL copyV1(void* record) { std::memcpy(&t_record.base, record, sizeof(ClientInfo)); }
void PLX_CDECL copyV2(void* record) { std::memcpy(&t_record, record, sizeof(ClientInfoV2)); }

ClientInfo g_reference;  // --unload-wfapi: the first payload seen
bool g_haveReference = false;

struct ThreadTally {
    std::map<int, long long> results[CallKinds];
    double longestMs[CallKinds] = {};
    long long dataRecords = 0, defaultRecords = 0, torn = 0;
    std::string firstTorn;
    uint32_t newestGeneration = 0;

    void check(const soak::Verdict& v, const char* what) {
        if (v.kind == soak::RecordKind::Torn) {
            if (torn++ == 0) firstTorn = std::string(what) + ": " + v.why;
        } else if (v.kind == soak::RecordKind::Defaults) {
            ++defaultRecords;
        } else {
            ++dataRecords;
            if (v.generation > newestGeneration) newestGeneration = v.generation;
        }
    }
};

soak::Verdict checkBase(const ClientInfo& info, bool unloadWfapi) {
    if (!unloadWfapi) return soak::checkClientInfo(info);
    std::lock_guard<std::mutex> lock(g_tally.mutex);
    soak::Verdict v = soak::checkAgainstReference(info, g_reference);
    if (v.kind == soak::RecordKind::Torn && !g_haveReference && info.userName[0] != '\0') {
        g_reference = info;  // the first record with data fixes what the counterpart sends
        g_haveReference = true;
        v = soak::checkAgainstReference(info, g_reference);
    }
    return v;
}

// ---- watchdog and crash reporting ----------------------------------------------------------

std::atomic<int64_t> g_lastProgress{0};
constexpr int kMaxThreads = 64;
std::atomic<int> g_inCall[kMaxThreads];  // -1 idle, else the Call in progress
std::atomic<int64_t> g_callStart[kMaxThreads];

LONG WINAPI reportCrash(EXCEPTION_POINTERS* info) {
    std::printf("\nCRASH: exception 0x%08lx at %p in thread %lu\ncrashes=1\nRESULT: FAILED\n",
                info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress,
                GetCurrentThreadId());
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 5);
    return EXCEPTION_EXECUTE_HANDLER;
}

void watchdog(const Options& o, int64_t start, std::atomic<bool>& finished) {
    const double overrunMs = (o.seconds + 90) * 1000;
    while (!finished.load()) {
        Sleep(200);
        const double stalledMs = ticksToMs(nowTicks() - g_lastProgress.load());
        const bool overrun = msSince(start) > overrunMs;
        if (stalledMs < 30000 && !overrun) continue;
        std::printf("\n%s\n", overrun ? "OVERRUN: the run took 90 s longer than asked"
                                       : "DEADLOCK: no call completed for 30 s");
        for (int t = 0; t < o.threads; ++t) {
            const int call = g_inCall[t].load();
            if (call >= 0)
                std::printf("  host thread %2d in %s for %.1f s\n", t, kCallNames[call],
                            ticksToMs(nowTicks() - g_callStart[t].load()) / 1000);
        }
        std::printf("deadlocks=1\nRESULT: FAILED\n");
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 3);
    }
}

// ---- the counterpart's side ---------------------------------------------------------------

// A new payload generation every few milliseconds, and from time to time a new latency.
void churnPayloads(const SimControl& sim, std::atomic<bool>& stop, std::mt19937 random,
                   std::atomic<uint32_t>& generations) {
    ClientInfo info;
    ClientInfoV2Ext ext;
    int64_t nextLatency = 0;
    while (!stop.load()) {
        const uint32_t g = ++generations;
        soak::makeClientInfo(g, &info);
        soak::makeClientInfoV2Ext(g, &ext);
        sim.setClientInfo(&info);
        sim.setClientInfoV2(&ext, 1);
        if (nowTicks() >= nextLatency) {
            const DWORD roundTrip = random() % 31;
            sim.setLatency(roundTrip, random() % (roundTrip / 2 + 1));
            nextLatency = nowTicks() + static_cast<int64_t>(500 * 1000 / ticksToUs(1));
        }
        Sleep(2 + random() % 20);
    }
}

// Arms one fault after the other. The ones that make a read wait out its 5 s time-out come
// rarely, since a cleanup then waits for that read and every caller with it.
void rotateFaults(const SimControl& sim, std::atomic<bool>& stop, std::mt19937 random, std::atomic<long>& armed) {
    static const int kQuick[] = {
        WFSIM_FAULT_SESSION_ID_QUERY_FAILS, WFSIM_FAULT_SESSION_ID_ZERO,       WFSIM_FAULT_STATE_QUERY_FAILS,
        WFSIM_FAULT_VERSION_QUERY_FAILS,    WFSIM_FAULT_SMC_OPEN_FAILS,        WFSIM_FAULT_SMC_OPEN_NULL_HANDLE,
        WFSIM_FAULT_CHANNEL_LIST_FAILS,     WFSIM_FAULT_CHANNEL_LIST_EMPTY,    WFSIM_FAULT_CHANNEL_LIST_OTHER_CASE,
        WFSIM_FAULT_CHANNEL_LIST_OVERFLOW,  WFSIM_FAULT_CHANNEL_VANISHED,      WFSIM_FAULT_CHANNEL_OPEN_FAILS,
        WFSIM_FAULT_CLIENT_DATA_QUERY_FAILS, WFSIM_FAULT_WRITE_FAILS,          WFSIM_FAULT_WRITE_SHORT,
        WFSIM_FAULT_READ_FAILS,             WFSIM_FAULT_READ_ZERO_BYTES,       WFSIM_FAULT_STALE_ANSWERS,
        WFSIM_FAULT_SWAPPED_SIGNATURE,      WFSIM_FAULT_ANSWER_SHORTER,        WFSIM_FAULT_ANSWER_LONGER,
        WFSIM_FAULT_LENGTH_BEYOND_BUFFER,   WFSIM_FAULT_TEXT_WITHOUT_NUL,      WFSIM_FAULT_EMPTY_NAMES,
        WFSIM_FAULT_WRONG_ANSWER_TYPE,
    };
    static const int kSlow[] = {WFSIM_FAULT_READ_TIMEOUT, WFSIM_FAULT_NO_ANSWER};
    const wchar_t* const withOxlens[] = {L"CTXCAM", L"OXLENS", L"CTXTW"};
    const wchar_t* const withoutOxlens[] = {L"CTXCAM", L"CTXTW"};
    while (!stop.load()) {
        const unsigned pick = random() % 100;
        if (pick < 4) {
            sim.setFault(kSlow[random() % 2], 1);
        } else if (pick < 8) {
            sim.setConnectState(random() % 2 ? 4 /* WFDisconnected */ : 1 /* WFConnected */);
            Sleep(50 + random() % 200);
            sim.setConnectState(0);
        } else if (pick < 12) {
            sim.setChannels(withoutOxlens, 2);
            Sleep(50 + random() % 200);
            sim.setChannels(withOxlens, 3);
        } else {
            sim.setFault(kQuick[random() % (sizeof kQuick / sizeof kQuick[0])], 1 + random() % 2);
        }
        ++armed;
        // About one a second: most faults put the task into its back-off, which only the next
        // cleanup ends, so more would leave few cycles running clean.
        Sleep(300 + random() % 1000);
    }
}

// ---- the host threads ----------------------------------------------------------------------

void hostThread(int index, const Options& o, const ProductDll& dll, int64_t end, std::mt19937 random) {
    ThreadTally mine;
    // About three cleanups a second among all threads; the other calls split between the exports.
    const unsigned cleanupOneIn = static_cast<unsigned>(o.threads) * 350;
    while (nowTicks() < end) {
        const unsigned pick = random() % cleanupOneIn;
        const Call call = pick == 0 ? CallCleanup : (pick % 2 ? CallGet : CallGetV2);
        g_callStart[index] = nowTicks();
        g_inCall[index] = call;
        int rc = 0;
        if (call == CallCleanup) {
            rc = dll.cleanup();
        } else {
            std::memset(&t_record, 0xA5, sizeof t_record);  // nothing of an earlier call survives
            rc = call == CallGet ? dll.get(copyV1, nullptr) : dll.getV2(copyV2, nullptr);
        }
        g_inCall[index] = -1;
        const int64_t done = nowTicks();
        g_lastProgress = done;
        ++mine.results[call][rc];
        const double tookMs = ticksToMs(done - g_callStart[index].load());
        if (tookMs > mine.longestMs[call]) mine.longestMs[call] = tookMs;
        if (call != CallCleanup && rc == ICASRV_OK) {
            mine.check(checkBase(t_record.base, o.unloadWfapi), kCallNames[call]);
            if (call == CallGetV2 && !o.unloadWfapi)
                mine.check(soak::checkClientInfoV2Ext(t_record.ext), "extension");
        }
        Sleep(random() % 3);
    }
    std::lock_guard<std::mutex> lock(g_tally.mutex);
    for (int c = 0; c < CallKinds; ++c) {
        for (const auto& r : mine.results[c]) g_tally.results[c][r.first] += r.second;
        if (mine.longestMs[c] > g_tally.longestMs[c]) g_tally.longestMs[c] = mine.longestMs[c];
    }
    g_tally.dataRecords += mine.dataRecords;
    g_tally.defaultRecords += mine.defaultRecords;
    if (mine.torn > 0 && g_tally.torn == 0) g_tally.firstTorn = mine.firstTorn;
    g_tally.torn += mine.torn;
    if (mine.newestGeneration > g_tally.newestGeneration) g_tally.newestGeneration = mine.newestGeneration;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue) {
            o.seconds = std::atof(argv[++i]);
        } else if (arg == "--threads" && hasValue) {
            o.threads = std::atoi(argv[++i]);
        } else if (arg == "--seed" && hasValue) {
            o.seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--no-faults") {
            o.faults = false;
        } else if (arg == "--unload-wfapi") {
            o.unloadWfapi = true;
        } else {
            std::fprintf(stderr, "usage: plxsoak [--seconds N] [--threads N] [--seed N] [--no-faults] [--unload-wfapi]\n");
            std::exit(1);
        }
    }
    if (o.threads < 1 || o.threads > kMaxThreads || o.seconds <= 0) {
        std::fprintf(stderr, "plxsoak: 1..%d threads and a positive duration\n", kMaxThreads);
        std::exit(1);
    }
    return o;
}

// --unload-wfapi: the substitute reads this session each time it is loaded afresh.
std::wstring g_scenarioPath;

void writeScenario() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"plxsoak_session_" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    FILE* file = _wfopen(path.c_str(), L"w");
    if (file == nullptr) {
        std::fprintf(stderr, "plxsoak: cannot write %s\n", toUtf8(path).c_str());
        std::exit(2);
    }
    std::fputs("latency_ms = 8\njitter_ms = 6\nuser_name = soak.user\ncomputer_name = SOAK-PC\n", file);
    std::fclose(file);
    _wputenv_s(L"WFSIM_SCENARIO", path.c_str());
    g_scenarioPath = path;
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parseOptions(argc, argv);
    SetUnhandledExceptionFilter(reportCrash);
    std::printf("plxsoak: %.0f s, %d host threads, seed %u%s\nmachine: %s\n", o.seconds, o.threads, o.seed,
                o.unloadWfapi ? ", " PLX_WFAPI_NAME " unloaded by every cleanup" : "", machineFacts().c_str());
    std::fflush(stdout);

    SimControl sim;
    if (o.unloadWfapi) {
        writeScenario();
    } else {
        sim = loadSimControl();
        sim.reset();
        ClientInfo info;
        ClientInfoV2Ext ext;
        soak::makeClientInfo(1, &info);
        soak::makeClientInfoV2Ext(1, &ext);
        sim.setClientInfo(&info);
        sim.setClientInfoV2(&ext, 1);
    }
    const ProductDll dll = loadProductDll();


    for (int t = 0; t < kMaxThreads; ++t) g_inCall[t] = -1;
    std::mt19937 seeds(o.seed);
    const int64_t start = nowTicks();
    const int64_t end = start + static_cast<int64_t>(o.seconds * 1e6 / ticksToUs(1));
    g_lastProgress = start;
    std::atomic<bool> finished{false}, stopCounterpart{false};
    std::atomic<uint32_t> generations{1};
    std::atomic<long> faultsArmed{0};
    std::thread dog(watchdog, std::cref(o), start, std::ref(finished));
    std::vector<std::thread> counterpart;
    if (!o.unloadWfapi) {
        counterpart.emplace_back(churnPayloads, std::cref(sim), std::ref(stopCounterpart), std::mt19937(seeds()),
                                 std::ref(generations));
        if (o.faults) counterpart.emplace_back(rotateFaults, std::cref(sim), std::ref(stopCounterpart), std::mt19937(seeds()),
                                 std::ref(faultsArmed));
    }
    std::vector<std::thread> hosts;
    for (int t = 0; t < o.threads; ++t)
        hosts.emplace_back(hostThread, t, std::cref(o), std::cref(dll), end, std::mt19937(seeds()));
    for (auto& h : hosts) h.join();
    stopCounterpart = true;
    for (auto& c : counterpart) c.join();

    // A healthy session again, then the final cleanup; everything handed out must be back.
    WfsimCounters c{};
    if (!o.unloadWfapi) {
        sim.getCounters(&c);
        sim.reset();
    }
    g_inCall[0] = CallCleanup;
    g_callStart[0] = nowTicks();
    const int finalCleanup = dll.cleanup();
    g_inCall[0] = -1;
    finished = true;
    dog.join();
    const double seconds = msSince(start) / 1000;

    long outstanding = 0;
    WfsimCounters afterReset{};
    if (!o.unloadWfapi) {
        outstanding = sim.outstanding();
        sim.getCounters(&afterReset);
        c.badFrees += afterReset.badFrees;
        c.badChannelCloses += afterReset.badChannelCloses;
        c.badSmcCloses += afterReset.badSmcCloses;
    }
    std::printf("run: %.1f s\n", seconds);
    long long unexpected = finalCleanup != ICASRV_CLEANUP_OK;
    for (int call = 0; call < CallKinds; ++call) {
        std::printf("calls %-26s", kCallNames[call]);
        for (const auto& r : g_tally.results[call]) {
            std::printf(" [%d]=%lld", r.first, r.second);
            const bool expected = call == CallCleanup ? r.first == ICASRV_CLEANUP_OK
                                                      : r.first == ICASRV_OK || r.first == ICASRV_STARTED;
            if (!expected) unexpected += r.second;
        }
        std::printf("  longest %.1f ms\n", g_tally.longestMs[call]);
    }
    std::printf("records checked: %lld with the counterpart's data, %lld with the defaults\n", g_tally.dataRecords,
                g_tally.defaultRecords);
    if (!o.unloadWfapi)
        std::printf("payload generations: %u sent, newest delivered %u\n", generations.load(),
                    g_tally.newestGeneration);
    if (!o.unloadWfapi)
        std::printf("counterpart: %ld faults and session changes armed; %ld channels opened, %ld ping, %ld data "
                    "and %ld version-2 answers\n",
                    faultsArmed.load(), c.channelsOpened, c.pingAnswers, c.dataAnswers, c.dataV2Answers);
    std::printf("torn=%lld%s%s\n", g_tally.torn, g_tally.torn ? "  first: " : "", g_tally.firstTorn.c_str());
    if (o.unloadWfapi) {
        std::printf("outstanding=n/a (" PLX_WFAPI_NAME " is unloaded with its accounting)\n");
    } else {
        std::printf("outstanding=%ld  (bad frees %ld, bad channel closes %ld, bad session-handle closes %ld)\n",
                    outstanding, c.badFrees, c.badChannelCloses, c.badSmcCloses);
    }
    std::printf("unexpected results=%lld  crashes=0  deadlocks=0\n", unexpected);
    const bool ok = g_tally.torn == 0 && unexpected == 0 && outstanding == 0 && c.badFrees == 0 &&
                    c.badChannelCloses == 0 && c.badSmcCloses == 0 && g_tally.dataRecords > 0;
    std::printf("RESULT: %s\n", ok ? "OK" : "FAILED");
    if (!g_scenarioPath.empty()) DeleteFileW(g_scenarioPath.c_str());
    return ok ? 0 : 1;
}
