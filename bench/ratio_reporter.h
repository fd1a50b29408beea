// Shared by the benchmarks that print kelpa/zlib ratios after the run: the
// console report as usual, plus the MB/s of each benchmark by name.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> mbps;
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            auto it = r.counters.find("bytes_per_second");
            // With repetitions the median, reported after the single runs, stands for the name.
            if (it != r.counters.end() && (r.run_type == Run::RT_Iteration || r.aggregate_name == "median"))
                mbps[r.run_name.function_name] = it->second.value / 1e6;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};
