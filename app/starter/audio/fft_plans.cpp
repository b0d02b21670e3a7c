// One home for the FFTW plans of the process.
#include "app/starter/audio/fft_plans.h"

#include <map>
#include <mutex>
#include <utility>

namespace {

std::mutex planLock;  // FFTW's planner is not thread-safe

// FFTW plans by size and kind (true: real to half-complex), destroyed with FFTW's own tables when
// the process ends.
struct PlanCache {
    std::map<std::pair<int, bool>, fftwf_plan> plans;
    ~PlanCache() {
        for (auto &entry : plans)
            fftwf_destroy_plan(entry.second);
        fftwf_cleanup();
    }
};

// The plan of a size and kind, made by make(in, out) once and kept for the life of the process.
template <class Make> fftwf_plan cachedPlan(int size, bool halfComplex, Make make) {
    static PlanCache cache;
    std::lock_guard<std::mutex> guard(planLock);
    auto it = cache.plans.find({size, halfComplex});
    if (it == cache.plans.end())
        it = cache.plans.emplace(std::make_pair(size, halfComplex), make()).first;
    return it->second;
}

}  // namespace

fftwf_plan realPlan(int size, float *in, fftwf_complex *out) {
    return cachedPlan(size, false, [&] { return fftwf_plan_dft_r2c_1d(size, in, out, FFTW_ESTIMATE); });
}

fftwf_plan halfComplexPlan(int size, float *in, float *out) {
    return cachedPlan(size, true, [&] { return fftwf_plan_r2r_1d(size, in, out, FFTW_R2HC, FFTW_ESTIMATE); });
}
