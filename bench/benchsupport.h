#pragma once

#include <QEventLoop>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <vector>

namespace qv7::bench {

using Steady = std::chrono::steady_clock;

inline double millisecondsBetween(Steady::time_point from, Steady::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Order statistics of a sample, in the sample's unit.
struct Summary {
    std::size_t count = 0;
    double mean = 0, median = 0, p99 = 0, min = 0, max = 0;
};

inline Summary summarize(std::vector<double> values)
{
    Summary summary;
    summary.count = values.size();
    if (values.empty())
        return summary;
    std::ranges::sort(values);
    double total = 0;
    for (const double v : values)
        total += v;
    summary.mean = total / double(values.size());
    summary.median = values[values.size() / 2];
    summary.p99 = values[std::min(values.size() - 1, values.size() * 99 / 100)];
    summary.min = values.front();
    summary.max = values.back();
    return summary;
}

// CPU time of the calling thread, in seconds.
inline double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

inline long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

inline long currentRssKiB()
{
    long pages = 0, resident = 0;
    if (std::FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * 4;
}

// The value after "--name" on the command line, or the fallback.
inline double option(const QStringList &arguments, const QString &name, double fallback)
{
    const qsizetype at = arguments.indexOf(QStringLiteral("--") + name);
    return at >= 0 && at + 1 < arguments.size() ? arguments[at + 1].toDouble() : fallback;
}

// Lets the event loop run for a while. Precise: a coarse single shot of over two seconds may
// end 5 % early.
inline void runFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Benchmarks run headless unless told otherwise.
inline void useOffscreenUnlessSet()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace qv7::bench
