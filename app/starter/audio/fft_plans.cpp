// One home for the FFTW plans of the process.
#include "app/starter/audio/fft_plans.h"

#include <map>
#include <mutex>

namespace {

std::mutex planLock;  // FFTW's planner is not thread-safe

// FFTW plans by size, destroyed with FFTW's own tables when the process ends.
struct PlanCache {
    std::map<int, fftwf_plan> plans;
    ~PlanCache() {
        for (auto &entry : plans)
            fftwf_destroy_plan(entry.second);
        fftwf_cleanup();
    }
};

// The plan of a size, made by make() once and kept for the life of the process.
template <class Make> fftwf_plan cachedPlan(int size, Make make) {
    static PlanCache cache;
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
