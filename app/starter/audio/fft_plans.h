// FFTW plans shared by every analysis of the starter: the beat spectrum, the metre's
// chroma and the attack evidence. FFTW's planner is not thread-safe, so every plan is
// made here, once per size, under one lock, and kept for the life of the process.
#pragma once

#include <fftw3.h>

/** FFTW's real-to-complex plan of a size, for arrays aligned as fftwf_malloc aligns them. */
fftwf_plan realPlan(int size, float *in, fftwf_complex *out);
