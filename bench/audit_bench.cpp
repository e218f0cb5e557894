#include "audit/MacAuditCollector.hpp"
#include "support/FakeProcessRunner.hpp"
#include "support/FakeSystemFacts.hpp"
#include "support/TempRoot.hpp"

#include <benchmark/benchmark.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using kova::ProcessResult;
using kova::ProcessSpec;

constexpr int bundleCount = 100;

ProcessResult printed(std::string out, std::string err = {}) {
    ProcessResult r;
    r.launched = true;
    r.exitStatus = 0;
    r.standardOutput = std::move(out);
    r.standardError = std::move(err);
    return r;
}

auto sleeping(std::chrono::milliseconds delay, std::string out, std::string err = {}) {
    return [=](const ProcessSpec&) {
        std::this_thread::sleep_for(delay);
        return printed(out, err);
    };
}

// A Mac whose slow tools take as long as on a real machine: the system
// profiler 1 s, the pending-update listing 2 s, codesign 50 ms per bundle, and
// 100 applications without a copyright text (so every one reaches codesign).
struct SlowMac {
    kova::test::TempRoot root;
    std::shared_ptr<kova::test::FakeProcessRunner> runner = std::make_shared<kova::test::FakeProcessRunner>();
    std::shared_ptr<kova::test::FakeSystemFacts> facts = std::make_shared<kova::test::FakeSystemFacts>();

    explicit SlowMac(bool slow) {
        const auto scale = slow ? 1 : 0;
        for (int i = 0; i < bundleCount; ++i) {
            const auto name = "Bench App " + std::to_string(i);
            root.write(root / ("/Applications/" + name + ".app/Contents/Info.plist"),
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                       "<key>CFBundleName</key><string>" +
                           name +
                           "</string>"
                           "<key>CFBundleShortVersionString</key><string>1.0</string>"
                           "<key>CFBundleIdentifier</key><string>pl.bench.app" +
                           std::to_string(i) +
                           "</string>"
                           "</dict></plist>");
        }
        runner->addHandler("/usr/sbin/system_profiler", sleeping(1000ms * scale, R"({"SPUSBDataType": []})"));
        runner->addHandler("/usr/sbin/softwareupdate",
                           sleeping(2000ms * scale, "No new software available."));
        runner->addHandler(
            "/usr/bin/codesign",
            sleeping(50ms * scale, "", "Authority=Developer ID Application: Bench Ltd (ABCDE12345)\n"));
        runner->addHandler("/usr/bin/mdls", sleeping(0ms, std::string("(null)\0(null)", 13)));
        runner->addAny("/usr/sbin/ioreg",
                       "\"IOPlatformSerialNumber\" = \"C02BENCH\"\n\"IOPlatformUUID\" = \"U-1\"\n");
        runner->addAny("/usr/bin/uname", "arm64\n");
        runner->addAny("/usr/bin/vm_stat", "Pages active: 10.\nPages wired down: 5.\n");
        runner->addAny("/sbin/ifconfig", "\tether 3c:22:fb:01:02:03\n");
        runner->addAny("/usr/sbin/sysctl", "{ sec = 1717400000, usec = 0 }\n");
        runner->addAny("/usr/bin/pmset", "Now drawing from 'AC Power'\n");
        runner->addAny("/usr/bin/dscl", "NFSHomeDirectory: /Users/anna\n");
        runner->addAny("/usr/bin/lpstat", "");
    }

    kova::MacAuditCollector collector() const { return kova::MacAuditCollector({}, runner, facts); }
};

void BM_CollectWithSlowTools(benchmark::State& state) {
    SlowMac mac(true);
    const auto collector = mac.collector();
    for (auto _ : state) {
        auto payload = collector.collect();
        benchmark::DoNotOptimize(payload);
    }
    state.counters["slowest_tool_ms"] = 2000;
    state.counters["tools_in_sequence_ms"] = 1000 + 2000 + 50 * bundleCount;
}
BENCHMARK(BM_CollectWithSlowTools)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_HeartbeatWithSlowTools(benchmark::State& state) {
    SlowMac mac(true);
    const auto collector = mac.collector();
    for (auto _ : state) {
        auto payload = collector.heartbeatPayload(kova::ViewerState{});
        benchmark::DoNotOptimize(payload);
    }
}
BENCHMARK(BM_HeartbeatWithSlowTools)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IdentityFactsWithSlowTools(benchmark::State& state) {
    SlowMac mac(true);
    const auto collector = mac.collector();
    for (auto _ : state) {
        auto identity = collector.identityFacts();
        benchmark::DoNotOptimize(identity);
    }
}
BENCHMARK(BM_IdentityFactsWithSlowTools)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The collector's own work with instant tools: bundle reading, parsing,
// thread start-up and JSON building.
void BM_CollectWithInstantTools(benchmark::State& state) {
    SlowMac mac(false);
    const auto collector = mac.collector();
    for (auto _ : state) {
        auto payload = collector.collect();
        benchmark::DoNotOptimize(payload);
    }
}
BENCHMARK(BM_CollectWithInstantTools)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
