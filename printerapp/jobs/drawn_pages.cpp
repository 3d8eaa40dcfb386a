// Drawn pages through the raster callbacks: the same start, page and line
// callbacks that take a client's raster, so a drawn page goes through the
// same checks, pipeline and encoder.
#include "printerapp/jobs/drawn_pages.h"

#include <cups/raster.h>

#include <cstring>

#include "printerapp/jobs/job_model.h"
#include "printerapp/jobs/job_options.h"

DrawnPages::DrawnPages(pappl_job_t* job, pappl_device_t* device, unsigned pageCount)
    : job_(job), device_(device)
{
    std::memset(&data_, 0, sizeof(data_));
    papplPrinterGetDriverData(papplJobGetPrinter(job), &data_);
    options_ = papplJobCreatePrintOptions(job, pageCount, false);
}

DrawnPages::~DrawnPages()
{
    // A job that failed half-way still ends, so that its state is freed.
    if (started_)
        data_.rendjob_cb(job_, options_, device_);
    if (options_ != nullptr)
        papplJobDeletePrintOptions(options_);
}

bool DrawnPages::labelSize(unsigned* width, unsigned* height)
{
    const AppModel* model = appModelOfJob(job_);
    if (model == nullptr || options_ == nullptr) {
        papplJobSetMessage(job_, "The printer has no Tavel driver.");
        return false;
    }
    if (!labelDots(*model, options_->media, &width_, &height_)) {
        papplJobSetMessage(job_, "The label %s cannot be printed on this printer.",
                           options_->media.size_name);
        return false;
    }
    *width = width_;
    *height = height_;
    return true;
}

int DrawnPages::copiesAsked() const
{
    return options_ != nullptr && options_->copies > 1 ? options_->copies : 1;
}

bool DrawnPages::print(const std::vector<unsigned char>& ink)
{
    if (width_ == 0 || ink.size() != static_cast<size_t>(width_) * height_)
        return false;
    const AppModel* model = appModelOfJob(job_);
    cups_page_header2_t& header = options_->header;
    std::memset(&header, 0, sizeof(header));
    header.HWResolution[0] = header.HWResolution[1] = static_cast<unsigned>(model->dpi);
    header.cupsWidth = header.cupsBytesPerLine = width_;
    header.cupsHeight = height_;
    header.cupsBitsPerColor = header.cupsBitsPerPixel = 8;
    header.cupsNumColors = 1;
    header.cupsColorSpace = CUPS_CSPACE_K;  // 255 = full ink, as drawn
    header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    header.PageSize[0] = static_cast<unsigned>(width_ * 72.0 / model->dpi + 0.5);
    header.PageSize[1] = static_cast<unsigned>(height_ * 72.0 / model->dpi + 0.5);
    header.cupsPageSize[0] = static_cast<float>(width_ * 72.0 / model->dpi);
    header.cupsPageSize[1] = static_cast<float>(height_ * 72.0 / model->dpi);
    header.NumCopies = 1;
    if (!started_) {
        if (!data_.rstartjob_cb(job_, options_, device_))
            return false;
        started_ = true;
    }
    ++pages_;
    if (!data_.rstartpage_cb(job_, options_, device_, pages_))
        return false;
    for (unsigned y = 0; y < height_; ++y) {
        if (!data_.rwriteline_cb(job_, options_, device_, y,
                                 ink.data() + static_cast<size_t>(y) * width_))
            return false;
    }
    if (!data_.rendpage_cb(job_, options_, device_, pages_))
        return false;
    papplJobSetImpressionsCompleted(job_, 1);
    return true;
}

bool DrawnPages::finish()
{
    if (!started_)
        return false;
    started_ = false;
    return data_.rendjob_cb(job_, options_, device_);
}
