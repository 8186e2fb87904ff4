// The memory a run holds at its peak; see memory_plan.hpp.
#include "memory_plan.hpp"

#include "common/toolerror.hpp"
#include "core/resources.hpp"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace run {

namespace {

// Per sample and factor: its label as the design keeps it and as the library's factor
// does (a string each, and the heap beyond a short one), its line, its level.
constexpr double kLabelBytes = 2 * 48.0 + 16.0;
// A score as text, at its widest ("-1.2345678901234567e-100" and a tab).
constexpr double kScoreText = 25.0;
// Per sample, what results.json and the other small outputs write of it.
constexpr double kSampleText = 128.0;

}  // namespace

double RunMemory::peak() const { return std::max({tables, values, analysis, outputs}); }

RunMemory run_memory(const tables::TableSize& species, const tables::TableSize& labels,
                     std::size_t factors, const morvenak::MemoryNeed& need) {
    const double n = static_cast<double>(species.rows);
    const double p = species.width > 0 ? static_cast<double>(species.width - 1) : 0.0;
    const double program = static_cast<double>(need.program);
    const double numbers = 8.0 * n * p;
    const double design = species.bytes + n * (kLabelBytes * static_cast<double>(factors) + 64.0);
    RunMemory m;
    // Both tables as read, and the design built from them beside them.
    m.tables = program + species.bytes + labels.bytes + design;
    m.values = program + design + numbers;
    m.analysis = numbers + static_cast<double>(need.peak);
    // The scores are written one table at a time, after the numbers are freed.
    m.outputs = program + n * kLabelBytes * static_cast<double>(factors) +
                static_cast<double>(need.result) + kScoreText * static_cast<double>(need.widest) +
                kSampleText * n;
    return m;
}

std::uint64_t memory_budget(std::uint64_t max_memory) {
    return max_memory != 0 ? max_memory : morvenak::memory_available();
}

void check_run_memory(const RunMemory& m, const tables::TableSize& species,
                      const std::string& species_name, std::uint64_t budget, bool allowed,
                      bool square) {
    const auto bytes = [](double b) {
        return morvenak::format_bytes(static_cast<std::uint64_t>(b));
    };
    const double peak = m.peak();
    if (budget == 0 || peak <= static_cast<double>(budget)) return;
    const std::size_t p = species.width > 0 ? species.width - 1 : 0;
    const std::string rows = (species.estimated ? "about " : "") + std::to_string(species.rows) +
                             " samples and " + std::to_string(p) + " species";
    throw tools::ToolError(
        "the analysis cannot be done: not enough memory: the run on " + rows + " of " +
            species_name +
            (species.estimated ? " (told from the file's size, before reading it)" : "") +
            " needs about " + bytes(peak) + " (reading the tables " + bytes(m.tables) +
            ", the abundances as numbers " + bytes(m.values) + ", the analysis " +
            bytes(m.analysis) + ", writing the results " + bytes(m.outputs) + ") and " +
            morvenak::format_bytes(budget) +
            (allowed ? " is allowed (--max-memory)" : " is available") +
            (square ? "; each sample left out saves about " +
                          bytes(2.0 * peak /
                                static_cast<double>(std::max<std::size_t>(species.rows, 1)))
                    : "; each species left out saves about " +
                          bytes(peak / static_cast<double>(std::max<std::size_t>(p, 1)))) +
            " (nothing was written; the output folder was left as it was)",
        1);
}

void release_freed_memory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

}  // namespace run
