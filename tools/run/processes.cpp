// The processes of a run: MPI's world when an MPI build is started by a launcher,
// else this process alone. See processes.hpp.
#include "processes.hpp"

#include "anova/workers.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#if MORVENAK_MPI
#include <mpi.h>
#endif

namespace run {

namespace {

#if MORVENAK_MPI
// Started by a launcher: Open MPI's mpirun, or a PMI-based one (srun, MPICH's mpiexec).
bool launched() {
    for (const char* name : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_RANK"})
        if (std::getenv(name) != nullptr) return true;
    return false;
}

// Each sum is one reduction over the whole world; every process calls it at the same
// points of the analysis, so the reductions pair up.
class WorldShare : public morvenak::Share {
public:
    WorldShare(int index, int count) : index_(index), count_(count) {}
    int index() const override { return index_; }
    int count() const override { return count_; }
    void sum(std::int64_t* values, int size) override {
        MPI_Allreduce(MPI_IN_PLACE, values, size, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD);
    }

private:
    int index_, count_;
};
#endif

}  // namespace

Processes::Processes() {
#if MORVENAK_MPI
    if (!launched()) return;
    MPI_Init(nullptr, nullptr);
    joined_ = true;
    MPI_Comm_rank(MPI_COMM_WORLD, &index_);
    MPI_Comm_size(MPI_COMM_WORLD, &count_);
    MPI_Comm node;
    MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, index_, MPI_INFO_NULL, &node);
    MPI_Comm_size(node, &here_);
    MPI_Comm_free(&node);
    share_ = new WorldShare(index_, count_);
#endif
}

Processes::~Processes() {
#if MORVENAK_MPI
    delete share_;
#endif
}

int Processes::agree(int status) {
#if MORVENAK_MPI
    if (joined_) MPI_Allreduce(MPI_IN_PLACE, &status, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
#endif
    return status;
}

void Processes::leave(int status) {
#if MORVENAK_MPI
    if (joined_ && status == 0) MPI_Finalize();
    if (joined_ && status != 0 && count_ > 1) {
        // The first process has removed its temporary folder by now: it tells the others,
        // which end only once they have heard it (or after a few seconds, should it be
        // gone or stuck), so that the launcher does not kill it first.
        constexpr int kCleared = 7201;
        int word = 1;
        std::vector<MPI_Request> requests;
        if (first()) {
            requests.resize(static_cast<std::size_t>(count_ - 1));
            for (int k = 1; k < count_; ++k)
                MPI_Isend(&word, 1, MPI_INT, k, kCleared, MPI_COMM_WORLD,
                          &requests[static_cast<std::size_t>(k - 1)]);
        } else {
            requests.resize(1);
            MPI_Irecv(&word, 1, MPI_INT, 0, kCleared, MPI_COMM_WORLD, requests.data());
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(first() ? 2000 : 5000);
        int done = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            MPI_Testall(static_cast<int>(requests.size()), requests.data(), &done,
                        MPI_STATUSES_IGNORE);
            if (done) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
#else
    (void)status;
#endif
    joined_ = false;
}

int Processes::default_threads() const {
    return std::max(1, morvenak::Workers::available() / std::max(1, here_));
}

}  // namespace run
