// Two builds of the vector code on armhf. Debian's armhf compiler assumes no
// NEON, so GCC's vector types become word-by-word code there, yet every
// ARMv7 Raspberry Pi has NEON. The files with the hot vector loops are
// therefore built a second time with NEON enabled (cmake/neon_build.cmake),
// their functions in a namespace of their own, and the process picks one
// build once, from what the processor reports. Both builds give the same
// bytes: the NEON build changes only how byte and word lanes are computed;
// float arithmetic stays on the scalar VFP unit, as GCC does not put float
// lanes on NEON (which flushes denormals) without -funsafe-math-optimizations.
//
// Elsewhere (amd64, arm64) the one build already uses the vector unit, and
// TAVEL_HAS_NEON_BUILD is not defined.
#ifndef TAVEL_WORKERS_VECTOR_BUILD_H
#define TAVEL_WORKERS_VECTOR_BUILD_H

// The namespace of the build that the current file is compiled for.
#ifdef TAVEL_NEON_BUILD
#define TAVEL_VECTOR_BUILD neon_build
#else
#define TAVEL_VECTOR_BUILD baseline_build
#endif

// Whether the process runs the NEON build: always false without one; with
// one, decided on the first call from the processor's capabilities
// (AT_HWCAP) and kept.
bool neonBuildSelected();

// For tests: false makes neonBuildSelected() false from then on, so that a
// test on a NEON processor can run the baseline build and compare; true goes
// back to the processor's choice.
void allowNeonBuild(bool allowed);

#endif
