// One home for the FFTW plans of the process.
#include "app/starter/audio/fft_plans.h"

#include <map>
#include <mutex>

namespace {

std::mutex planLock;  // FFTW's planner is not thread-safe

// FFTW plans by size. They are never destroyed, nor FFTW's own tables: a thread that a program
// leaves running as it ends (a daemon thread of Python's calling the library) may still be
// executing a plan while the process's exit handlers run.
struct PlanCache {
    std::map<int, fftwf_plan> plans;
};

// The plan of a size, made by make() once and kept for the life of the process.
template <class Make> fftwf_plan cachedPlan(int size, Make make) {
    static PlanCache &cache = *new PlanCache;
    std::lock_guard<std::mutex> guard(planLock);
    auto it = cache.plans.find(size);
    if (it == cache.plans.end())
        it = cache.plans.emplace(size, make()).first;
    return it->second;
}

}  // namespace

fftwf_plan realPlan(int size, float *in, fftwf_complex *out) {
    return cachedPlan(size, [&] { return fftwf_plan_dft_r2c_1d(size, in, out, FFTW_ESTIMATE); });
}
