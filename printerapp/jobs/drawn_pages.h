// Pages the application draws itself (a rendered PDF page or a carrier
// page's label box, fitted onto the label) printed through the driver's raster callbacks, as PAPPL prints a
// raster: one job start, then each page line by line, then the job's end.
#ifndef TAVEL_PRINTERAPP_JOBS_DRAWN_PAGES_H
#define TAVEL_PRINTERAPP_JOBS_DRAWN_PAGES_H

#include <pappl/pappl.h>

#include <memory>
#include <vector>

class DrawnPages {
public:
    // For the job's printer; pages are pageCount at most (0: not known).
    DrawnPages(pappl_job_t* job, pappl_device_t* device, unsigned pageCount);
    ~DrawnPages();

    // The label the pages are printed on, in dots; false with a message
    // for the job when the printer cannot print the job's label.
    bool labelSize(unsigned* width, unsigned* height);

    // The copies the job asks for (at least 1): a document whose format
    // leaves copies to the pages (PNG, JPEG) prints each page that often.
    int copiesAsked() const;

    // Prints one label-sized page (one byte per dot, 0 = blank, 255 = full
    // ink); the job starts with the first. False when the job failed.
    bool print(const std::vector<unsigned char>& ink);

    // Ends the job once every page is printed; false when it failed.
    bool finish();

private:
    pappl_job_t* job_;
    pappl_device_t* device_;
    pappl_pr_options_t* options_ = nullptr;
    pappl_pr_driver_data_t data_;
    unsigned width_ = 0;
    unsigned height_ = 0;
    unsigned pages_ = 0;
    bool started_ = false;
};

#endif
