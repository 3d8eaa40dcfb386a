// Two builds of the vector code where the processors a distribution builds
// for may or may not have a wider vector unit. Debian's armhf compiler
// assumes no NEON, so GCC's vector types become word-by-word code there, yet
// every ARMv7 Raspberry Pi has NEON; Debian's amd64 compiler assumes SSE2,
// which has no 32-bit lane multiplication, yet most PCs have AVX2. The files
// with the hot vector loops are therefore built a second time for the wider
// unit (cmake/extended_build.cmake), their functions in a namespace of their
// own, and the process picks one build once, from what the processor
// reports. Both builds give the same bytes: the extended build changes only
// how byte and word lanes are computed. Float arithmetic is unchanged: GCC
// keeps it on the scalar VFP unit on armhf (NEON flushes denormals), and on
// amd64 AVX2 brings no fused multiply-add, and -ffp-contract=off forbids one.
//
// On arm64 the one build already uses the vector unit, and
// TAVEL_HAS_EXTENDED_BUILD is not defined.
#ifndef TAVEL_WORKERS_VECTOR_BUILD_H
#define TAVEL_WORKERS_VECTOR_BUILD_H

// The namespace of the build that the current file is compiled for.
#ifdef TAVEL_EXTENDED_BUILD
#define TAVEL_VECTOR_BUILD extended_build
#else
#define TAVEL_VECTOR_BUILD baseline_build
#endif

// Whether the process runs the extended build: always false without one;
// with one, decided on the first call from the processor's capabilities
// (NEON in AT_HWCAP on armhf, AVX2 as the processor and system report it
// on amd64) and kept.
bool extendedBuildSelected();

// For tests: false makes extendedBuildSelected() false from then on, so
// that a test on a processor with the wider unit can run the baseline build
// and compare; true goes back to the processor's choice.
void allowExtendedBuild(bool allowed);

#endif
