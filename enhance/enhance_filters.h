// Image filters of the stencil chain: grey conversion, moment-preserving
// threshold, piecewise gamma, Gaussian blurs, weighted blend and unsharp mask.
// All but cvtGray treat their input as one byte per pixel, pixel (x, y) at
// byte y * width + x, and return fresh images owned by the caller.
#pragma once

#include "enhance/zq_image.h"

ZQImage cvtGray(const ZQImage& src);
// Tsai's moment-preserving threshold: a grey level 0..255, 128 when the
// moment equations have no usable root, -1 when no level passes the share.
int thresh_global_moments(const ZQImage& src);
// Rewrites every pixel through a two-segment gamma curve meeting at knee.
void enh_piecewise_gamma(ZQImage& img, int knee, float gammaLow, float gammaHigh);

// The generators fill size (odd and positive) taps, or size * size for the
// two-dimensional kernel, normalised to sum to 1.
void generateGaussianKernel1D(int size, double sigma, double* kernel);
// One separable pass: along rows when horizontal, else along columns. Edge
// pixels repeat outward.
ZQImage convolve1D(const ZQImage& src, const double* kernel, int size, bool horizontal);
ZQImage enh_gaussian_filter_fast(const ZQImage& src, int size, double sigma);
// size * size taps; sigmaX acts along rows, sigmaY along columns.
void generateGaussianKernel(int size, double sigmaX, double sigmaY, double* kernel);
ZQImage enh_gaussian_filter(const ZQImage& src, int size, double sigmaX, double sigmaY);

// (1 + amount) * a - amount * b, rounded and clamped to 0..255.
ZQImage add_Weighted(const ZQImage& a, const ZQImage& b, float amount);
ZQImage enh_unsharp_mask(const ZQImage& src, float amountPercent, int size);
