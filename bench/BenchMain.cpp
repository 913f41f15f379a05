// Runs the registered benchmarks and prints, after Google Benchmark's own report, the
// table of figures: each one a ratio (or difference) of two benchmarks of this same run,
// with its target and pass/miss.
//
// Defaults, unless given on the command line: 5 repetitions of every benchmark in random
// interleaved order (so that a burst of load from elsewhere on the machine hits subject and
// baseline alike), and the median of the repetitions on each side.
//
// Exit status: 0 when every figure could be computed (whether it passed or missed: the
// machine's noise must not fail a build), 1 when a benchmark of a figure did not run or
// reported an error. `--fail-on-miss` makes a missed target an exit status 2 as well.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace {

using ombrix::bench::Clock;
using ombrix::bench::Figure;
using ombrix::bench::Goal;
using ombrix::bench::Measure;

struct Samples {
    std::vector<double> realNs;
    std::vector<double> cpuNs;
    std::string error;
};

double nanosecondsPer(benchmark::TimeUnit unit)
{
    switch (unit) {
    case benchmark::kNanosecond:
        return 1.0;
    case benchmark::kMicrosecond:
        return 1e3;
    case benchmark::kMillisecond:
        return 1e6;
    case benchmark::kSecond:
        return 1e9;
    }
    return 1.0;
}

/// Console output as usual, and every single repetition kept for the table.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) {
                continue;
            }
            Samples& samples = collected[run.run_name.function_name];
            if (run.error_occurred) {
                samples.error = run.error_message;
                continue;
            }
            const double scale = nanosecondsPer(run.time_unit);
            samples.realNs.push_back(run.GetAdjustedRealTime() * scale);
            samples.cpuNs.push_back(run.GetAdjustedCPUTime() * scale);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, Samples> collected;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

std::string formatNs(double ns)
{
    char text[64];
    if (ns >= 1e6) {
        std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
    } else if (ns >= 1e3) {
        std::snprintf(text, sizeof text, "%.2f us", ns / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.1f ns", ns);
    }
    return text;
}

/// Prints the table; returns {figures computed, figures missed, figures without data}.
struct TableOutcome {
    int computed = 0;
    int missed = 0;
    int unavailable = 0;
};

TableOutcome printTable(const std::map<std::string, Samples>& collected)
{
    TableOutcome outcome;
    std::printf("\n%-4s %-72s %14s %12s  %-6s %s\n", "#", "figure", "value", "target", "result", "detail");
    std::printf("%s\n", std::string(150, '-').c_str());
    for (const Figure& figure : ombrix::bench::registeredFigures()) {
        const auto subject = collected.find(figure.subject);
        const auto baseline = collected.find(figure.baseline);
        const auto usable = [](const auto& it, const auto& end) {
            return it != end && it->second.error.empty() && !it->second.realNs.empty();
        };
        if (!usable(subject, collected.end()) || !usable(baseline, collected.end())) {
            std::string why = "not run";
            if (subject != collected.end() && !subject->second.error.empty()) {
                why = subject->second.error;
            } else if (baseline != collected.end() && !baseline->second.error.empty()) {
                why = baseline->second.error;
            }
            std::printf("%-4s %-72s %14s %12s  %-6s %s\n", figure.id.c_str(), figure.title.c_str(), "-", "-",
                "n/a", why.c_str());
            ++outcome.unavailable;
            continue;
        }
        const bool cpu = figure.clock == Clock::Cpu;
        const bool minimum = figure.statistic == Figure::Statistic::Minimum;
        const auto summary = [&](const Samples& samples) {
            const std::vector<double>& values = cpu ? samples.cpuNs : samples.realNs;
            return minimum ? *std::min_element(values.begin(), values.end()) : median(values);
        };
        const double subjectNs = summary(subject->second) * figure.subjectScale;
        const double baselineNs = summary(baseline->second) * figure.baselineScale;

        double value = 0.0;
        switch (figure.measure) {
        case Measure::Ratio:
            value = subjectNs / baselineNs;
            break;
        case Measure::InverseRatio:
            value = baselineNs / subjectNs;
            break;
        case Measure::DifferenceMs:
            value = (subjectNs - baselineNs) / 1e6;
            break;
        }
        const bool info = figure.goal == Goal::Info;
        const bool pass
            = info || (figure.goal == Goal::AtMost ? value <= figure.target : value >= figure.target);
        char valueText[32];
        char targetText[32];
        std::snprintf(valueText, sizeof valueText, "%.3f%s", value, figure.unit.c_str());
        if (info) {
            std::snprintf(targetText, sizeof targetText, "-");
        } else {
            std::snprintf(targetText, sizeof targetText, "%s %.2f%s",
                figure.goal == Goal::AtMost ? "<=" : ">=", figure.target, figure.unit.c_str());
        }
        const std::string detail = formatNs(subjectNs) + " vs " + formatNs(baselineNs) + " ("
            + (cpu                                  ? "cpu"
                    : figure.clock == Clock::Manual ? "manual"
                                                    : "wall")
            + (minimum ? ", minimum of " : ", median of ")
            + std::to_string(std::min(subject->second.realNs.size(), baseline->second.realNs.size())) + ")";
        std::printf("%-4s %-72s %14s %12s  %-6s %s\n", figure.id.c_str(), figure.title.c_str(), valueText,
            targetText,
            info       ? "info"
                : pass ? "pass"
                       : "MISS",
            detail.c_str());
        ++outcome.computed;
        if (!pass) {
            ++outcome.missed;
        }
    }
    return outcome;
}

bool hasFlag(int argc, char** argv, const char* prefix)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    ombrix::bench::installQuietLogger();

    bool failOnMiss = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fail-on-miss") == 0) {
            failOnMiss = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    static char repetitions[] = "--benchmark_repetitions=5";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    static char minTime[] = "--benchmark_min_time=0.2";
    if (!hasFlag(argc, argv, "--benchmark_repetitions")) {
        args.push_back(repetitions);
    }
    if (!hasFlag(argc, argv, "--benchmark_enable_random_interleaving")) {
        args.push_back(interleave);
    }
    if (!hasFlag(argc, argv, "--benchmark_min_time")) {
        args.push_back(minTime);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const TableOutcome outcome = printTable(reporter.collected);
    std::printf("\n%d figures: %d passed, %d missed, %d not available\n",
        outcome.computed + outcome.unavailable, outcome.computed - outcome.missed, outcome.missed,
        outcome.unavailable);
    if (outcome.unavailable > 0 && !hasFlag(argc, argv, "--benchmark_filter")) {
        return 1;
    }
    return failOnMiss && outcome.missed > 0 ? 2 : 0;
}
