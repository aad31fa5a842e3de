// Frame parser throughput: ParsePackageByte over a long stream of the device's answer frames,
// with stray bytes, broken sync words and frames with a bad checksum among them, as a noisy
// line delivers them. The reference is what a 115200-baud line can deliver at most: 8N1 spends
// 10 bits per byte, 11 520 bytes/s.

#include "benchsupport.h"

#include "package.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <random>
#include <vector>

namespace
{

constexpr double kLineBytesPerSecond = 115200.0 / 10.0;

struct Stream {
    std::vector<std::uint8_t> bytes;
    std::int64_t validFrames = 0;
};

// Deterministic, so every run parses the same bytes.
Stream deviceStream(size_t size)
{
    // The four answers the device gives, with their payload lengths.
    const std::pair<std::uint8_t, std::uint8_t> answers[] = {{10, 23}, {8, 2}, {6, 28}, {4, 20}};
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> byte(0, 255);
    Stream stream;
    std::uint8_t payload[PACKAGE_MAX_PAYLOAD];
    std::uint8_t frame[PACKAGE_MAX_PAYLOAD + PACKAGE_OVERHEAD];
    while (stream.bytes.size() < size) {
        const auto &answer = answers[rng() % 4];
        for (int i = 0; i < answer.second; ++i)
            payload[i] = std::uint8_t(byte(rng));
        const int length = CreatePackage(frame, sizeof frame, answer.first, payload, answer.second,
                                         PACKAGE_DIR_FROM_DEVICE);
        const bool badChecksum = rng() % 32 == 0;
        if (badChecksum)
            frame[length - 1] = std::uint8_t(frame[length - 1] + 1);
        else
            ++stream.validFrames;
        stream.bytes.insert(stream.bytes.end(), frame, frame + length);
        // Stray bytes between frames, at times opening with the start of a sync word. None of
        // them is a sync byte, so they never complete one and the count of valid frames stays
        // known.
        if (rng() % 8 == 0) {
            if (rng() % 2)
                stream.bytes.insert(stream.bytes.end(), PACKAGE_SYNC, PACKAGE_SYNC + 1 + rng() % 3);
            const int noise = 1 + int(rng() % 16);
            for (int i = 0; i < noise; ++i) {
                const std::uint8_t b = std::uint8_t(byte(rng));
                const bool sync = std::find(PACKAGE_SYNC, PACKAGE_SYNC + 4, b) != PACKAGE_SYNC + 4;
                stream.bytes.push_back(sync ? 0 : b);
            }
        }
    }
    return stream;
}

const Stream &stream()
{
    static const Stream s = deviceStream(1 << 20);
    return s;
}

std::int64_t parseAll(const std::vector<std::uint8_t> &bytes, PackageParser *parser)
{
    std::int64_t frames = 0;
    for (std::uint8_t b : bytes) {
        if (ParsePackageByte(b, parser) == 0)
            ++frames;
    }
    return frames;
}

void ParseDeviceStream(benchmark::State &state)
{
    const Stream &s = stream();
    // One parser for the whole run, as the worker keeps one for the life of the program.
    PackageParser parser{};
    for (auto _ : state) {
        std::int64_t frames = parseAll(s.bytes, &parser);
        benchmark::DoNotOptimize(frames);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(s.bytes.size()));
}
BENCHMARK(ParseDeviceStream)->Repetitions(5)->ReportAggregatesOnly(true);

class RowReporter : public benchmark::ConsoleReporter
{
public:
    RowReporter() : benchmark::ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median")
                continue;
            const auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end())
                medianBytesPerSecond = it->second.value;
        }
    }

    double medianBytesPerSecond = 0;
};

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    // A figure over a stream the parser misreads would be worthless.
    PackageParser check{};
    const std::int64_t found = parseAll(stream().bytes, &check);
    if (found != stream().validFrames) {
        std::fprintf(stderr, "parser: found %lld frames in the stream, expected %lld\n",
                     static_cast<long long>(found), static_cast<long long>(stream().validFrames));
        return 1;
    }
    std::fprintf(stderr, "parser: stream of %zu bytes, %lld valid frames\n", stream().bytes.size(),
                 static_cast<long long>(found));

    RowReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const double perSecond = reporter.medianBytesPerSecond;
    bench::row("frame parser throughput, MB/s (median of 5)", bench::number(perSecond / 1e6, 1),
               "0.0115 (115200 baud, 8N1)", bench::ratio(perSecond, kLineBytesPerSecond));
    return perSecond > 0 ? 0 : 1;
}
