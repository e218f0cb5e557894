#include "process/ProcessRunner.hpp"
#include "process/ShellCommand.hpp"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

// executeShell against running the same bash command directly; the shell
// command's own work (limits, character counting, the result object) should
// stay within about 15% of the bare run.
namespace {

const std::string command = "head -c 500000 /dev/zero | tr '\\0' a";

void BM_ExecuteShell(benchmark::State& state) {
    const kova::Json payload = {{"shell", "bash"}, {"command", command}, {"max_output_chars", 500000}};
    for (auto _ : state) {
        auto result = kova::executeShell(payload);
        if (result["stdout"].get_ref<const std::string&>().size() != 500000) {
            state.SkipWithError("unexpected output size");
        }
        benchmark::DoNotOptimize(result);
    }
}

void BM_DirectRunner(benchmark::State& state) {
    kova::ProcessSpec spec;
    spec.executable = "/bin/bash";
    spec.arguments = {"-lc", command};
    auto& runner = *kova::systemProcessRunner();
    for (auto _ : state) {
        auto result = runner.run(spec);
        if (result.standardOutput.size() != 500000) {
            state.SkipWithError("unexpected output size");
        }
        benchmark::DoNotOptimize(result);
    }
}

// popen goes through /bin/sh; "exec" makes that shell replace itself with bash.
void BM_DirectPopen(benchmark::State& state) {
    const std::string line = "exec /bin/bash -lc \"" + command + "\"";
    for (auto _ : state) {
        FILE* pipe = ::popen(line.c_str(), "r");
        if (pipe == nullptr) {
            state.SkipWithError("popen failed");
            break;
        }
        std::string output;
        char buffer[65536];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            output.append(buffer, n);
        }
        ::pclose(pipe);
        if (output.size() != 500000) {
            state.SkipWithError("unexpected output size");
        }
        benchmark::DoNotOptimize(output);
    }
}

// Keeps the mean time of each benchmark (the "mean" aggregate when there are
// repetitions) to print the ratios after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            auto& [total, count, aggregate] = times_[run.run_name.function_name];
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean") {
                aggregate = run.GetAdjustedRealTime();
            } else if (run.run_type == Run::RT_Iteration) {
                total += run.GetAdjustedRealTime();
                count += 1;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double mean(const std::string& name) const {
        const auto it = times_.find(name);
        if (it == times_.end()) {
            return 0;
        }
        const auto& [total, count, aggregate] = it->second;
        return aggregate > 0 ? aggregate : count > 0 ? total / count : 0;
    }

private:
    std::map<std::string, std::tuple<double, double, double>> times_;
};

} // namespace

BENCHMARK(BM_ExecuteShell)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DirectRunner)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_DirectPopen)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

int main(int argc, char** argv) {
    // Both sides start a login bash; an empty home keeps a personal profile
    // on this machine from drowning the difference being measured.
    char home[] = "/tmp/shell_bench.XXXXXX";
    if (::mkdtemp(home) == nullptr) {
        return 1;
    }
    ::setenv("HOME", home, 1);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::filesystem::remove_all(home);

    const double shell = reporter.mean("BM_ExecuteShell");
    const double runner = reporter.mean("BM_DirectRunner");
    const double popen = reporter.mean("BM_DirectPopen");
    if (shell > 0 && runner > 0 && popen > 0) {
        std::printf("executeShell / direct runner: %.3f\nexecuteShell / popen: %.3f (goal <= 1.15)\n",
                    shell / runner, shell / popen);
    }
    return 0;
}
