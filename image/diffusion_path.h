// Which pass DibImage::Dither diffuses the error with. Both give the same
// image. The lanes (sixteen rows at a time in vector registers) serve 8-bit
// images; the row-by-row pass, which can share the rows among worker
// threads, serves images of other depths. Tests select the row-by-row pass
// to check it on 8-bit images, where the lanes would run.
#ifndef TAVEL_IMAGE_DIFFUSION_PATH_H
#define TAVEL_IMAGE_DIFFUSION_PATH_H

enum class DiffusionPath { Fastest, RowByRow };

void setDiffusionPath(DiffusionPath path);

#endif
