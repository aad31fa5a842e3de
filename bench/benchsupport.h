#pragma once

// What every benchmark program shares: one clock, order statistics, and the row format that
// scripts/bench.sh gathers into its table. Rows go to standard output; everything a reader of
// a single program may want besides (per-run figures, progress) goes to standard error.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <time.h>
#include <vector>

namespace bench
{

// CLOCK_MONOTONIC is shared by every process on the machine, so a launcher's stamp and a
// child's stamp can be subtracted.
inline std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A repetition count from the environment, at least one.
inline int envCount(const char *name, int fallback)
{
    const char *text = std::getenv(name);
    const int value = text && *text ? std::atoi(text) : fallback;
    return std::max(1, value);
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Nearest-rank percentile, p in [0, 100]: always one of the measured values.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t rank = size_t(p / 100.0 * double(values.size()) + 0.999999);
    rank = std::max<size_t>(1, std::min(rank, values.size()));
    return values[rank - 1];
}

inline double maximum(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

inline std::string number(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A ratio whose reference is zero has no meaning; say so rather than print inf.
inline std::string ratio(double value, double reference)
{
    if (reference <= 0)
        return value <= 0 ? "n/a (both 0)" : "n/a (reference 0)";
    const double r = value / reference;
    return number(r, r < 10 ? 2 : r < 100 ? 1 : 0) + "x";
}

// One line of the table: measure, Quorbel's figure, the reference figure, the ratio.
inline void row(const std::string &measure, const std::string &quorbel,
                const std::string &reference, const std::string &ratioText)
{
    std::printf("row|%s|%s|%s|%s\n", measure.c_str(), quorbel.c_str(), reference.c_str(),
                ratioText.c_str());
    std::fflush(stdout);
}

} // namespace bench
