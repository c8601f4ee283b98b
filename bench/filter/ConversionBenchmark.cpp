// Conversion benchmarks: the filters' scaling and each conversion with packing, beside the
// plain reference implementation in the same process, on pages of the filters' two sizes.
// Before timing anything the outputs of both are compared; any difference fails the run.
#include "bench/filter/ReferenceConversion.h"
#include "filter/Dithering.h"
#include "filter/ImageConversion.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using Samples = std::vector<std::uint8_t>;

struct PageSize {
    int width;
    int height;
};

// vellumar's usual page after scaling, and tessoral's fixed-size model.
constexpr PageSize kPageSizes[] = {{384, 533}, {1638, 2237}};
// The sources the scaling starts from for each of those sizes: a 576-dot page, and a page
// of 1680 x 2376 brought to the fixed size.
constexpr PageSize kResizeSources[] = {{576, 800}, {1680, 2376}};

struct Method {
    const char* name;
    filter::ConversionMethod ours;
    reference::Method plain;
    double target;  // ratio the issue asks for
};

constexpr Method kMethods[] = {
    {"Floyd-Steinberg+pack", filter::ConversionMethod::FloydSteinberg, reference::Method::FloydSteinberg, 3.0},
    {"Sierra3+pack", filter::ConversionMethod::Sierra3, reference::Method::Sierra3, 3.0},
    {"threshold+pack", filter::ConversionMethod::Threshold, reference::Method::Threshold, 10.0},
};

// A page that looks like print: smooth gradients with noise, text-like hard edges, white margins.
Samples samplePage(int width, int height)
{
    std::mt19937 rng(static_cast<unsigned>(width * 31 + height));
    std::uniform_int_distribution<int> noise(-12, 12);
    Samples page(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int value = 255;
            if (y > height / 10 && y < height * 9 / 10) {
                value = (x * 255) / std::max(1, width - 1);
                if ((y / 24) % 3 == 0 && (x / 6) % 4 != 0)
                    value = 0;
                value += noise(rng);
            }
            page[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>(std::clamp(value, 0, 255));
        }
    }
    return page;
}

Samples oursPacked(const Method& m, const Samples& page, PageSize size, std::vector<std::int32_t>& errors,
                   Samples& packed)
{
    packed.resize(filter::packedRowBytes(size.width) * static_cast<std::size_t>(size.height));
    filter::convertAndPack(m.ours, page.data(), size.width, size.height, packed.data(), errors);
    return packed;
}

void BM_Convert(benchmark::State& state, Method m, PageSize size, bool reference)
{
    const Samples page = samplePage(size.width, size.height);
    std::vector<std::int32_t> errors;
    Samples packed(filter::packedRowBytes(size.width) * static_cast<std::size_t>(size.height));
    for (auto _ : state) {
        if (reference) {
            Samples result = reference::convertAndPack(m.plain, page.data(), size.width, size.height);
            benchmark::DoNotOptimize(result.data());
        } else {
            filter::convertAndPack(m.ours, page.data(), size.width, size.height, packed.data(), errors);
            benchmark::DoNotOptimize(packed.data());
        }
        benchmark::ClobberMemory();
    }
    state.counters["pixels"] = static_cast<double>(size.width) * size.height;
}

void BM_Resize(benchmark::State& state, PageSize source, PageSize size, bool reference)
{
    const Samples page = samplePage(source.width, source.height);
    Samples scaled;
    filter::ResizeScratch scratch;
    for (auto _ : state) {
        if (reference) {
            Samples result = reference::resizeImage(page.data(), source.width, source.height, size.width, size.height);
            benchmark::DoNotOptimize(result.data());
        } else {
            filter::resizeImage(page.data(), source.width, source.height, scaled, size.width, size.height, scratch);
            benchmark::DoNotOptimize(scaled.data());
        }
        benchmark::ClobberMemory();
    }
    state.counters["pixels"] = static_cast<double>(size.width) * size.height;
}

std::string caseName(const std::string& what, PageSize size)
{
    return what + " " + std::to_string(size.width) + "x" + std::to_string(size.height);
}

// Compares ours with the reference on every benchmarked input, by case name.
std::map<std::string, bool> verifyOutputs()
{
    std::map<std::string, bool> identical;
    for (std::size_t s = 0; s < std::size(kPageSizes); ++s) {
        const PageSize size = kPageSizes[s];
        const PageSize source = kResizeSources[s];
        const Samples from = samplePage(source.width, source.height);
        Samples scaled;
        filter::resizeImage(from.data(), source.width, source.height, scaled, size.width, size.height);
        identical[caseName("resize", size)] =
            scaled == reference::resizeImage(from.data(), source.width, source.height, size.width, size.height);
        const Samples page = samplePage(size.width, size.height);
        for (const Method& m : kMethods) {
            std::vector<std::int32_t> errors;
            Samples packed;
            identical[caseName(m.name, size)] =
                oursPacked(m, page, size, errors, packed) ==
                reference::convertAndPack(m.plain, page.data(), size.width, size.height);
        }
    }
    return identical;
}

// Keeps the fastest repetition of each benchmark (the machine is shared; the minimum is the
// figure least disturbed by other work).
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool fastest = run.run_type == Run::RT_Aggregate && run.aggregate_name == "min";
            if (run.error_occurred || (run.run_type != Run::RT_Iteration && !fastest))
                continue;
            const double seconds = run.GetAdjustedCPUTime() / 1e9;  // time unit: nanoseconds
            auto [it, inserted] = best_.try_emplace(run.run_name.function_name, seconds);
            if (!inserted)
                it->second = std::min(it->second, seconds);
        }
    }
    double best(const std::string& name) const
    {
        auto it = best_.find(name);
        return it == best_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> best_;
};

double fastestOf(const std::vector<double>& values)
{
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

void registerAll()
{
    for (std::size_t s = 0; s < std::size(kPageSizes); ++s) {
        const PageSize size = kPageSizes[s];
        for (bool reference : {false, true}) {
            const std::string side = reference ? "/reference" : "/ours";
            benchmark::RegisterBenchmark((caseName("resize", size) + side).c_str(), BM_Resize, kResizeSources[s],
                                         size, reference)
                ->ComputeStatistics("min", fastestOf);
            for (const Method& m : kMethods)
                benchmark::RegisterBenchmark((caseName(m.name, size) + side).c_str(), BM_Convert, m, size, reference)
                    ->ComputeStatistics("min", fastestOf);
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::map<std::string, bool> identical = verifyOutputs();
    bool allIdentical = true;
    for (const auto& [name, same] : identical) {
        if (!same) {
            std::fprintf(stderr, "OUTPUT MISMATCH: %s differs from the reference\n", name.c_str());
            allIdentical = false;
        }
    }
    if (!allIdentical)
        return 1;

    benchmark::Initialize(&argc, argv);
    registerAll();
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double hz = benchmark::CPUInfo::Get().cycles_per_second;
    std::printf("\n%-34s %12s %12s %8s %8s %10s %s\n", "per page", "ours ms", "reference ms", "ratio", "target",
                "cyc/pixel", "bit-identical");
    bool targetsMet = true;
    for (std::size_t s = 0; s < std::size(kPageSizes); ++s) {
        const PageSize size = kPageSizes[s];
        auto row = [&](const std::string& what, double target) {
            const std::string name = caseName(what, size);
            const double ours = reporter.best(name + "/ours");
            const double plain = reporter.best(name + "/reference");
            if (ours <= 0.0 || plain <= 0.0)
                return;  // filtered out of this run
            const double ratio = plain / ours;
            const double cycles = ours * hz / (static_cast<double>(size.width) * size.height);
            const bool met = target <= 0.0 || ratio >= target;
            targetsMet = targetsMet && met;
            std::printf("%-34s %12.3f %12.3f %7.1fx %7s %10.2f %s\n", name.c_str(), ours * 1e3, plain * 1e3, ratio,
                        target > 0.0 ? (std::to_string(static_cast<int>(target)) + "x" + (met ? "" : "!")).c_str()
                                     : "-",
                        cycles, identical.at(name) ? "yes" : "NO");
        };
        row("resize", 0.0);
        for (const Method& m : kMethods)
            row(m.name, m.target);
    }
    std::printf("(cycles per pixel at the nominal %.2f GHz; '!' marks a missed target)\n", hz / 1e9);
    return targetsMet ? 0 : 2;
}
