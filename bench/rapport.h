#ifndef RAPPORT_H
#define RAPPORT_H

// Collects the median of each Google Benchmark figure, for the table rows.

#include "tableau.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class Collecteur : public benchmark::BenchmarkReporter
{
public:
    bool ReportContext(const Context &) override { return true; }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            // With repetitions only the median counts; without, the single run.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            std::string nom = run.benchmark_name();
            if (run.run_type == Run::RT_Aggregate)
                nom = nom.substr(0, nom.rfind('_'));
            else if (mediane.count(nom))
                continue;
            Mesure &m = mediane[nom];
            m.nanosecondes = run.GetAdjustedRealTime() * facteurNs(run.time_unit);
            for (const auto &compteur : run.counters)
                m.compteurs[compteur.first] = compteur.second.value;
            std::fprintf(stderr, "  %-40s %12.1f ns\n", nom.c_str(), m.nanosecondes);
        }
    }

    struct Mesure
    {
        double nanosecondes = 0;
        std::map<std::string, double> compteurs;
    };
    std::map<std::string, Mesure> mediane;

private:
    static double facteurNs(benchmark::TimeUnit unite)
    {
        switch (unite) {
        case benchmark::kSecond: return 1e9;
        case benchmark::kMillisecond: return 1e6;
        case benchmark::kMicrosecond: return 1e3;
        default: return 1;
        }
    }
};

#endif
