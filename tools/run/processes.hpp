// The processes of one run. A build with MORVENAK_MPI started by an MPI launcher
// (mpirun, mpiexec, srun) joins the launcher's processes: they share the permutation
// tests, the first of them writes the results and talks to the user, and the others
// stay silent. Any other run is one process alone.
#pragma once

#include "core/model.hpp"

namespace run {

class Processes {
public:
    // Joins the launcher's processes when there are any.
    Processes();
    ~Processes();
    // The largest of the processes' statuses; every process calls it once, at the same
    // point (for the run command: once each is ready to start the analysis, or has
    // failed before it).
    int agree(int status);
    // Leaves them after a run that ended with `status`. After a failure the processes do
    // not wait for each other's end, only for the first one's word that it has cleared
    // its temporary folder (at most a few seconds): the launcher ends the rest as soon
    // as one ends with a failure, and would otherwise kill the first before it could.
    void leave(int status);
    Processes(const Processes&) = delete;
    Processes& operator=(const Processes&) = delete;

    int index() const { return index_; }
    int count() const { return count_; }
    bool first() const { return index_ == 0; }
    // The processes on this machine, this one included.
    int here() const { return here_; }
    // What the analysis shares its tests through; null for a process alone.
    morvenak::Share* share() { return count_ > 1 ? share_ : nullptr; }
    // The threads of each process when the user gives none: the CPUs this process may
    // use, divided among the processes on this machine.
    int default_threads() const;

private:
    int index_ = 0;
    int count_ = 1;
    int here_ = 1;
    bool joined_ = false;
    morvenak::Share* share_ = nullptr;
};

}  // namespace run
