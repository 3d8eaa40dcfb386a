// Which pass DibImage::Dither diffuses the error with. Both give the same
// image. The lanes (sixteen rows at a time in vector registers) serve 8-bit
// images on processors with SSE2; the row-by-row pass, which can share the
// rows among worker threads, serves every other case. Tests select the
// row-by-row pass to check it on a machine where the lanes would run.
#ifndef TAVEL_IMAGE_DIFFUSION_PATH_H
#define TAVEL_IMAGE_DIFFUSION_PATH_H

enum class DiffusionPath { Fastest, RowByRow };

void setDiffusionPath(DiffusionPath path);

#endif
