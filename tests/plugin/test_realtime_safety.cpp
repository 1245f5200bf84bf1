// process() on the host's audio thread must never touch the heap. Every
// global operator new and delete is replaced, and the C runtime's and the
// Win32 heap's allocation functions are redirected in this exe's import
// table, all counting only on threads that are armed. The consumer thread
// that drains the ring is not armed: only the audio thread is measured.
#include "plugin/plugin.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "plugin/parameters.h"
#include "tools/testhost/host_objects.h"
#include "support/plugin_support.h"

namespace heapwatch {

// The per-thread arming flag lives in a Win32 TLS slot: a C++ thread_local
// goes through emulated TLS here, which allocates on a thread's first use
// and would recurse into the hooks.
constinit std::atomic<DWORD> armSlot{TLS_OUT_OF_INDEXES};
constinit std::atomic<long> allocations{0};
constinit std::atomic<long> releases{0};

// The first few allocations seen, to say where one came from.
struct Seen {
    const char* kind;
    std::size_t size;
};
constexpr int kSeenMax = 8;
constinit Seen seen[kSeenMax]{};

bool armed() {
    const DWORD slot = armSlot.load(std::memory_order_relaxed);
    if (slot == TLS_OUT_OF_INDEXES) return false;
    const DWORD error = GetLastError();  // TlsGetValue resets it; callers may rely on it
    const bool on = TlsGetValue(slot) != nullptr;
    SetLastError(error);
    return on;
}

void countAllocation(const char* kind, std::size_t size) {
    if (!armed()) return;
    const long n = allocations.fetch_add(1);
    if (n < kSeenMax) seen[n] = {kind, size};
}

void countRelease(const void* p) {
    if (p != nullptr && armed()) releases.fetch_add(1);
}

// Arms the calling thread for the guard's lifetime.
class Arm {
public:
    Arm() { TlsSetValue(armSlot.load(), reinterpret_cast<void*>(1)); }
    ~Arm() { TlsSetValue(armSlot.load(), nullptr); }
    Arm(const Arm&) = delete;
    Arm& operator=(const Arm&) = delete;
};

std::string describeSeen() {
    std::string s;
    const long n = std::min<long>(allocations.load(), kSeenMax);
    for (long i = 0; i < n; ++i) s += std::string(seen[i].kind) + "(" + std::to_string(seen[i].size) + ") ";
    return s;
}

void reset() {
    allocations.store(0);
    releases.store(0);
}

// ---- The C runtime and Win32 heap, through this module's import table ----

using MallocFn = void* (*)(std::size_t);
using CallocFn = void* (*)(std::size_t, std::size_t);
using ReallocFn = void* (*)(void*, std::size_t);
using FreeFn = void (*)(void*);
using AlignedMallocFn = void* (*)(std::size_t, std::size_t);
using AlignedReallocFn = void* (*)(void*, std::size_t, std::size_t);
using StrdupFn = char* (*)(const char*);
using WcsdupFn = wchar_t* (*)(const wchar_t*);
using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapReAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, LPVOID, SIZE_T);
using HeapFreeFn = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID);

MallocFn realMalloc;
CallocFn realCalloc;
ReallocFn realRealloc;
FreeFn realFree;
AlignedMallocFn realAlignedMalloc;
AlignedReallocFn realAlignedRealloc;
FreeFn realAlignedFree;
StrdupFn realStrdup;
WcsdupFn realWcsdup;
HeapAllocFn realHeapAlloc;
HeapReAllocFn realHeapReAlloc;
HeapFreeFn realHeapFree;

void* hookMalloc(std::size_t n) {
    countAllocation("malloc", n);
    return realMalloc(n);
}
void* hookCalloc(std::size_t n, std::size_t size) {
    countAllocation("calloc", n * size);
    return realCalloc(n, size);
}
void* hookRealloc(void* p, std::size_t n) {
    countAllocation("realloc", n);
    return realRealloc(p, n);
}
void hookFree(void* p) {
    countRelease(p);
    realFree(p);
}
void* hookAlignedMalloc(std::size_t n, std::size_t a) {
    countAllocation("_aligned_malloc", n);
    return realAlignedMalloc(n, a);
}
void* hookAlignedRealloc(void* p, std::size_t n, std::size_t a) {
    countAllocation("_aligned_realloc", n);
    return realAlignedRealloc(p, n, a);
}
void hookAlignedFree(void* p) {
    countRelease(p);
    realAlignedFree(p);
}
char* hookStrdup(const char* s) {
    countAllocation("_strdup", 0);
    return realStrdup(s);
}
wchar_t* hookWcsdup(const wchar_t* s) {
    countAllocation("_wcsdup", 0);
    return realWcsdup(s);
}
LPVOID WINAPI hookHeapAlloc(HANDLE h, DWORD flags, SIZE_T n) {
    countAllocation("HeapAlloc", n);
    return realHeapAlloc(h, flags, n);
}
LPVOID WINAPI hookHeapReAlloc(HANDLE h, DWORD flags, LPVOID p, SIZE_T n) {
    countAllocation("HeapReAlloc", n);
    return realHeapReAlloc(h, flags, p, n);
}
BOOL WINAPI hookHeapFree(HANDLE h, DWORD flags, LPVOID p) {
    countRelease(p);
    return realHeapFree(h, flags, p);
}

// Points every import of `name` in this exe at `hook`; the previous target
// goes to `original`. False when the exe does not import it.
template <typename Fn>
bool redirectImport(const char* name, Fn hook, Fn& original) {
    auto* base = reinterpret_cast<std::uint8_t*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return false;
    bool found = false;
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name != 0; ++imp) {
        if (imp->OriginalFirstThunk == 0) continue;  // no name table to match against
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
            DWORD protection = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &protection);
            original = reinterpret_cast<Fn>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(hook);
            VirtualProtect(&slots->u1.Function, sizeof(void*), protection, &protection);
            found = true;
        }
    }
    return found;
}

// The C-level functions whose import could be redirected.
std::vector<std::string> hooked;

void install() {
    if (armSlot.load() != TLS_OUT_OF_INDEXES) return;
    if (redirectImport("malloc", &hookMalloc, realMalloc)) hooked.push_back("malloc");
    if (redirectImport("calloc", &hookCalloc, realCalloc)) hooked.push_back("calloc");
    if (redirectImport("realloc", &hookRealloc, realRealloc)) hooked.push_back("realloc");
    if (redirectImport("free", &hookFree, realFree)) hooked.push_back("free");
    if (redirectImport("_aligned_malloc", &hookAlignedMalloc, realAlignedMalloc)) hooked.push_back("_aligned_malloc");
    if (redirectImport("_aligned_realloc", &hookAlignedRealloc, realAlignedRealloc))
        hooked.push_back("_aligned_realloc");
    if (redirectImport("_aligned_free", &hookAlignedFree, realAlignedFree)) hooked.push_back("_aligned_free");
    if (redirectImport("_strdup", &hookStrdup, realStrdup)) hooked.push_back("_strdup");
    if (redirectImport("_wcsdup", &hookWcsdup, realWcsdup)) hooked.push_back("_wcsdup");
    if (redirectImport("HeapAlloc", &hookHeapAlloc, realHeapAlloc)) hooked.push_back("HeapAlloc");
    if (redirectImport("HeapReAlloc", &hookHeapReAlloc, realHeapReAlloc)) hooked.push_back("HeapReAlloc");
    if (redirectImport("HeapFree", &hookHeapFree, realHeapFree)) hooked.push_back("HeapFree");
    armSlot.store(TlsAlloc());
}

bool isHooked(const char* name) {
    for (const std::string& h : hooked)
        if (h == name) return true;
    return false;
}

}  // namespace heapwatch

// ---- Every form of the global operator new and delete ----

// new over malloc and delete over free is this replacement's own pairing.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
void* allocate(const char* kind, std::size_t n) {
    heapwatch::countAllocation(kind, n);
    return std::malloc(n != 0 ? n : 1);
}
void* allocateAligned(const char* kind, std::size_t n, std::align_val_t a) {
    heapwatch::countAllocation(kind, n);
    return _aligned_malloc(n != 0 ? n : 1, static_cast<std::size_t>(a));
}
void release(void* p) {
    heapwatch::countRelease(p);
    std::free(p);
}
void releaseAligned(void* p) {
    heapwatch::countRelease(p);
    _aligned_free(p);
}
}  // namespace

void* operator new(std::size_t n) {
    if (void* p = allocate("new", n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = allocate("new[]", n)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate("new nothrow", n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate("new[] nothrow", n); }
void* operator new(std::size_t n, std::align_val_t a) {
    if (void* p = allocateAligned("new aligned", n, a)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) {
    if (void* p = allocateAligned("new[] aligned", n, a)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocateAligned("new aligned nothrow", n, a);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocateAligned("new[] aligned nothrow", n, a);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { releaseAligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { releaseAligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { releaseAligned(p); }

#pragma GCC diagnostic pop

namespace relay {
namespace {

using namespace relay::test;

using namespace Steinberg;
using namespace Steinberg::Vst;


class HeapWatch : public ::testing::Test {
protected:
    static void SetUpTestSuite() { heapwatch::install(); }
    void SetUp() override { heapwatch::reset(); }
};

// The counters must see what they are meant to see, or a zero below would
// prove nothing.
TEST_F(HeapWatch, SeesEveryKindOfAllocationOnAnArmedThreadOnly) {
    ASSERT_TRUE(heapwatch::isHooked("malloc"));
    ASSERT_TRUE(heapwatch::isHooked("free"));
    void* volatile sink = nullptr;
    {
        heapwatch::Arm arm;
        sink = ::operator new(16);
        ::operator delete(sink);
        sink = new int[4];
        delete[] static_cast<int*>(sink);
        sink = ::operator new(256, std::align_val_t{64});
        ::operator delete(sink, std::align_val_t{64});
        sink = ::operator new(8, std::nothrow);
        ::operator delete(sink, std::nothrow);
        sink = std::malloc(24);
        std::free(sink);
        sink = std::calloc(3, 8);
        sink = std::realloc(sink, 64);
        std::free(sink);
        std::vector<float> grows;
        grows.push_back(1.0f);
    }
    // Each operator new is seen twice, once more as the C allocation under
    // it: 4 x 2 news, malloc, calloc, realloc, and the vector's 2.
    EXPECT_EQ(heapwatch::allocations.load(), 13) << heapwatch::describeSeen();
    EXPECT_EQ(heapwatch::releases.load(), 12);

    // Allocations made inside the product's own library count as well.
    heapwatch::reset();
    {
        Plugin* p = new Plugin();
        std::size_t length = 0;
        {
            heapwatch::Arm arm;
            length = p->stream.pairingUrl().size();
        }
        p->release();
        EXPECT_GT(length, 20u);
        EXPECT_GT(heapwatch::allocations.load(), 0);
    }

    // Another thread's allocations do not count while this one is armed.
    heapwatch::reset();
    {
        heapwatch::Arm arm;
        std::atomic<bool> go{false};
        std::thread other([&go] {
            while (!go.load()) std::this_thread::yield();
            std::vector<int> unarmed(1000);
            void* volatile p = std::malloc(100);
            std::free(p);
        });
        const long afterStart = heapwatch::allocations.load();  // starting it is ours
        go.store(true);
        other.join();
        EXPECT_EQ(heapwatch::allocations.load(), afterStart) << heapwatch::describeSeen();
    }
}

// A host's audio thread: parameter changes every call, both sample sizes,
// every process mode, frame counts around the block size and beyond the
// ring's capacity.
struct AudioThreadRun {
    long calls = 0;
    std::uint64_t drops = 0;
    std::uint64_t processed = 0;
};

AudioThreadRun runAudioThread(Plugin& p, int rounds) {
    testhost::ParamChanges changes;
    changes.add(kParamSendLevel, {0.2, 0.9});
    changes.add(kParamBroadcast, {1.0});
    changes.add(kParamMonoSend, {0.0});
    changes.add(kParamDisabled, {0.0});
    changes.add(kParamSendLevel, {});  // nothing to read
    changes.add(kParamBroadcast, {0.0});
    changes.queues[5].failGetPoint = true;
    changes.add(4242, {0.5});  // unknown to the plug-in

    constexpr int32 kMaxFrames = 20000;
    testhost::BusBuffers<float> f(2, kMaxFrames);
    testhost::BusBuffers<double> d(2, kMaxFrames);
    for (int32 i = 0; i < kMaxFrames; ++i) {
        f.in[0][i] = static_cast<float>(i % 200) / 200.0f;
        f.in[1][i] = (i % 97 == 0) ? std::numeric_limits<float>::quiet_NaN() : -0.5f;
        d.in[0][i] = (i % 89 == 0) ? 1e300 : 0.25;
        d.in[1][i] = static_cast<double>(i % 50) / 50.0;
    }
    const int32 frameCounts[] = {1, 32, 64, 255, 256, 257, 480, 1000, 4096, 17000};
    const int32 modes[] = {kRealtime, kPrefetch, kOffline};
    ProcessData data{};

    AudioThreadRun run;
    const std::uint64_t dropsBefore = p.stream.drops.load();
    const std::uint64_t processedBefore = p.stream.processedBlocks.load();
    {
        heapwatch::Arm arm;
        for (int round = 0; round < rounds; ++round) {
            for (int32 frames : frameCounts) {
                for (int32 mode : modes) {
                    // The host's own edits: plain stores into preallocated queues.
                    changes.queues[0].points[1].second = static_cast<double>((round + frames) % 67) / 66.0;
                    changes.queues[2].points[0].second = (round & 1) ? 1.0 : 0.0;
                    changes.queues[3].points[0].second = (round % 5 == 0) ? 1.0 : 0.0;
                    const bool wide = ((round + frames) & 1) != 0;
                    data = wide ? testhost::makeProcessData(d, frames, mode, &changes)
                                : testhost::makeProcessData(f, frames, mode, &changes);
                    p.process(data);
                    ++run.calls;
                }
            }
        }
    }
    run.drops = p.stream.drops.load() - dropsBefore;
    run.processed = p.stream.processedBlocks.load() - processedBefore;
    return run;
}

PluginPtr makeProcessingPlugin() {
    PluginPtr p(new Plugin());
    EXPECT_EQ(p->initialize(testhost::hostContext()), kResultOk);
    p->stream.stop();  // the test's consumer, or none, takes the server's place
    ProcessSetup setup{kRealtime, kSample64, 20000, 48000.0};
    EXPECT_EQ(p->setupProcessing(setup), kResultOk);
    p->setActive(true);
    p->setProcessing(true);
    return p;
}

TEST_F(HeapWatch, ProcessAllocatesNothingWhileTheRingIsDrained) {
    PluginPtr p = makeProcessingPlugin();
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> popped{0};
    std::thread consumer([&] {
        AudioBlock block;
        std::vector<float> copy;  // the consumer may allocate; it is not armed
        while (!stop.load()) {
            if (p->stream.ring.pop(block)) {
                popped.fetch_add(1);
                copy.assign(block.samples.begin(), block.samples.end());
            } else {
                std::this_thread::yield();
            }
        }
    });
    const AudioThreadRun run = runAudioThread(*p, 120);
    stop.store(true);
    consumer.join();

    EXPECT_EQ(heapwatch::allocations.load(), 0) << heapwatch::describeSeen();
    EXPECT_EQ(heapwatch::releases.load(), 0);
    EXPECT_EQ(run.calls, 120 * 10 * 3);
    EXPECT_EQ(run.processed, static_cast<std::uint64_t>(run.calls));
    EXPECT_GT(popped.load(), 0u);
}

TEST_F(HeapWatch, ProcessAllocatesNothingWhileTheRingIsFull) {
    PluginPtr p = makeProcessingPlugin();
    const AudioThreadRun run = runAudioThread(*p, 120);

    EXPECT_EQ(heapwatch::allocations.load(), 0) << heapwatch::describeSeen();
    EXPECT_EQ(heapwatch::releases.load(), 0);
    EXPECT_EQ(run.processed, static_cast<std::uint64_t>(run.calls));
    EXPECT_EQ(p->stream.ring.size(), kRingSlots);
    EXPECT_GT(run.drops, 1000u);
}

}  // namespace
}  // namespace relay
