// Carrier pages: a shipping label delivered as a Letter or A4 page with the
// label in a ruled box on one part of it. Such a page printed whole comes
// out tiny on the label; when the page is larger than the label and holds
// exactly one ruled box shaped nearly like the label, that box alone is
// printed, turned and fitted. The vendor attribute label-crop (none)
// turns this off.
#ifndef TAVEL_PRINTERAPP_JOBS_LABEL_CROP_H
#define TAVEL_PRINTERAPP_JOBS_LABEL_CROP_H

#include <pappl/pappl.h>

#include <string>
#include <vector>

struct LabelBox {
    unsigned left = 0, top = 0;      // first dot of the box, its border included
    unsigned right = 0, bottom = 0;  // one past its last dot
};

// Looks for the one ruled box on page (width x height dots, 0 = blank,
// 255 = full ink) whose sides are nearly in the proportion of a
// labelWidth x labelHeight label, either way round: four straight lines
// meeting at the corners, at least a tenth of the page. False when there
// is none or more than one.
bool findLabelBox(const unsigned char* page, unsigned width, unsigned height, unsigned labelWidth,
                  unsigned labelHeight, LabelBox* box);

// Cuts the carrier label box out of a page of ink (width x height dots at
// pageDpi) and fits it onto a label of labelWidth x labelHeight dots at
// labelDpi, into fitted, with note the job message saying so: when the
// page is larger than the label (a tenth more paper) and holds exactly one
// label-shaped box. Returns false, leaving fitted and note as they are,
// for any other page.
bool cutOutLabelBox(const std::vector<unsigned char>& page, unsigned width, unsigned height,
                    int pageDpi, unsigned labelWidth, unsigned labelHeight, int labelDpi,
                    std::vector<unsigned char>* fitted, std::string* note);

// Puts a page of ink (width x height dots at pageDpi) onto a label of
// labelWidth x labelHeight dots at labelDpi, into fitted: the carrier
// label box when crop is set and the page is larger than the label, else
// the whole page; turned to the label's orientation and fitted. Returns the
// job message saying what was done, empty when the page was the label's
// size.
std::string placeOnLabel(const std::vector<unsigned char>& page, unsigned width, unsigned height,
                         int pageDpi, unsigned labelWidth, unsigned labelHeight, int labelDpi,
                         bool crop, std::vector<unsigned char>* fitted);

// Whether the job (its label-crop value, else the printer's default) has
// carrier label boxes cut out.
bool labelCropEnabled(pappl_job_t* job);

#endif
