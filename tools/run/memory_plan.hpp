// The memory a run holds at its peak: the tables as read, the design and the
// abundances as numbers, the analysis (as the library estimates it), and the
// results as written. The run is refused, with status 1 and nothing written, when
// the peak exceeds what the process may use or what --max-memory allows: first from
// the files' sizes, before they are read; then from the tables as read, before the
// design is built; then with the design's factors, before the abundances are
// converted and the analysis allocates anything of the data's size.
#pragma once

#include "tables/table.hpp"

#include "morvenak/analysis.hpp"

#include <cstdint>
#include <string>

namespace run {

// Each phase's peak, in bytes; the run's peak is the largest.
struct RunMemory {
    double tables = 0.0;    // the species table as read, its parsed copy, the labels
    double values = 0.0;    // the abundances as text and as numbers
    double analysis = 0.0;  // the abundances as numbers and the analysis
    double outputs = 0.0;   // the result and the largest output as text
    double peak() const;
};

// The run's phases for tables of these sizes, `factors` factors and the library's
// estimate `need` for their analysis.
RunMemory run_memory(const tables::TableSize& species, const tables::TableSize& labels,
                     std::size_t factors, const morvenak::MemoryNeed& need);

// The memory the run may use: `max_memory` when given, else what the process may still
// allocate (0: unknown, no limit).
std::uint64_t memory_budget(std::uint64_t max_memory);

// Throws tools::ToolError (status 1) when the run's peak exceeds `budget`, naming the
// phases, the species table (its rows estimated or counted), and what each species
// (or, for a dissimilarity, `square`: sample) left out would save. `allowed`: the budget
// is --max-memory's.
void check_run_memory(const RunMemory& m, const tables::TableSize& species,
                      const std::string& species_name, std::uint64_t budget, bool allowed,
                      bool square = false);

// Gives memory freed in the middle of the heap back to the system (the tables' rows
// once read), so that the process's resident size follows what it holds.
void release_freed_memory();

}  // namespace run
