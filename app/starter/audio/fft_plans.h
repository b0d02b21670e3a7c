// FFTW plans shared by every analysis of the starter: the beat spectrum, the metre's
// chroma, the attack evidence and the tuning. FFTW's planner is not thread-safe, so every
// plan is made here, once per size, under one lock, and kept for the life of the process.
#pragma once

#include <fftw3.h>

// Frees what fftwf_malloc allocated, for the unique_ptr that holds a transform's arrays.
struct FftwFree {
    void operator()(void *p) const { fftwf_free(p); }
};

/** FFTW's real-to-complex plan of a size, for arrays aligned as fftwf_malloc aligns them. */
fftwf_plan realPlan(int size, float *in, fftwf_complex *out);
