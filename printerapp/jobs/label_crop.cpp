// Finding a carrier page's label box: the straight ruled lines of the page,
// long runs of ink along rows and along columns, joined into lines across
// the rows or columns they span; then the rectangles four such lines make.
#include "printerapp/jobs/label_crop.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "printerapp/jobs/job_model.h"
#include "printerapp/jobs/job_options.h"
#include "printerapp/jobs/page_fit.h"

namespace {

// A dot this dark or darker is ink.
constexpr unsigned char kInk = 128;
// Blank dots a ruled line may miss and still be one line.
constexpr unsigned kLineGap = 2;
// More lines than this: a busy page (a pattern, a photo), not a carrier
// page; nothing is cut out.
constexpr size_t kMaxLines = 1024;

// A straight line: its thickness across (first to last row or column) and
// its extent along, [from, to).
struct Line {
    unsigned first, last;
    unsigned from, to;
};

bool near(unsigned a, unsigned b, unsigned tolerance)
{
    return (a > b ? a - b : b - a) <= tolerance;
}

// The lines along one direction: for horizontal lines rows are "across"
// and dots within a row "along"; for vertical lines the other way round.
// step gives the distance between dots along, stride between rows across.
bool findLines(const unsigned char* page, unsigned along, unsigned across, size_t step,
               size_t stride, unsigned minLength, unsigned tolerance, std::vector<Line>* lines)
{
    size_t firstOpen = 0;  // lines before this one end before the current row
    for (unsigned a = 0; a < across; ++a) {
        const unsigned char* row = page + a * stride;
        unsigned b = 0;
        while (b < along) {
            if (row[b * step] < kInk) {
                ++b;
                continue;
            }
            const unsigned start = b;
            unsigned end = b + 1;  // one past the last inked dot of the run
            unsigned blank = 0;
            for (++b; b < along && blank <= kLineGap; ++b) {
                if (row[b * step] >= kInk) {
                    end = b + 1;
                    blank = 0;
                } else {
                    ++blank;
                }
            }
            b = end;
            if (end - start < minLength)
                continue;
            bool joined = false;
            for (size_t i = firstOpen; i < lines->size() && !joined; ++i) {
                Line& line = (*lines)[i];
                if (line.last + 1 == a && near(line.from, start, tolerance) &&
                    near(line.to, end, tolerance)) {
                    line.last = a;
                    line.from = std::min(line.from, start);
                    line.to = std::max(line.to, end);
                    joined = true;
                }
            }
            if (!joined) {
                if (lines->size() == kMaxLines)
                    return false;
                lines->push_back(Line{a, a, start, end});
            }
        }
        while (firstOpen < lines->size() && (*lines)[firstOpen].last + 1 < a)
            ++firstOpen;
    }
    return true;
}

// Whether w x h is nearly in the proportion of the label, either way
// round: the longer side over the shorter within 8 %.
bool labelShaped(uint64_t w, uint64_t h, uint64_t labelWidth, uint64_t labelHeight)
{
    const uint64_t longSide = std::max(w, h), shortSide = std::min(w, h);
    const uint64_t labelLong = std::max(labelWidth, labelHeight);
    const uint64_t labelShort = std::min(labelWidth, labelHeight);
    // |long/short - labelLong/labelShort| <= 0.08 * labelLong/labelShort
    const uint64_t a = longSide * labelShort * 100, b = labelLong * shortSide * 100;
    const uint64_t allowed = labelLong * shortSide * 8;
    return (a > b ? a - b : b - a) <= allowed;
}

// Whether vertical line v runs at x (within tolerance) from the top line
// to the bottom line.
bool joins(const Line& v, unsigned x, const Line& top, const Line& bottom, unsigned tolerance)
{
    return (near(v.first, x, tolerance) || near(v.last, x, tolerance) ||
            (v.first <= x && x <= v.last)) &&
           v.from <= top.first + tolerance && v.to + tolerance >= bottom.last + 1;
}

}  // namespace

bool findLabelBox(const unsigned char* page, unsigned width, unsigned height, unsigned labelWidth,
                  unsigned labelHeight, LabelBox* box)
{
    if (width < 16 || height < 16 || labelWidth == 0 || labelHeight == 0)
        return false;
    const unsigned shorter = std::min(width, height);
    const unsigned minLength = shorter / 8;
    const unsigned tolerance = std::max(4u, shorter / 50);
    std::vector<Line> rows, columns;
    if (!findLines(page, width, height, 1, width, minLength, tolerance, &rows) ||
        !findLines(page, height, width, width, 1, minLength, tolerance, &columns))
        return false;

    std::vector<LabelBox> found;
    for (size_t t = 0; t < rows.size(); ++t) {
        for (size_t b = t + 1; b < rows.size(); ++b) {
            const Line& top = rows[t];
            const Line& bottom = rows[b];
            if (bottom.first <= top.last || !near(top.from, bottom.from, tolerance) ||
                !near(top.to, bottom.to, tolerance))
                continue;
            const unsigned left = std::min(top.from, bottom.from);
            const unsigned right = std::max(top.to, bottom.to);  // one past
            const Line* leftSide = nullptr;
            const Line* rightSide = nullptr;
            for (const Line& v : columns) {
                if (leftSide == nullptr && joins(v, left, top, bottom, tolerance))
                    leftSide = &v;
                if (rightSide == nullptr && joins(v, right - 1, top, bottom, tolerance))
                    rightSide = &v;
            }
            if (leftSide == nullptr || rightSide == nullptr || leftSide == rightSide)
                continue;
            LabelBox candidate;
            candidate.left = std::min(left, leftSide->first);
            candidate.right = std::max(right, rightSide->last + 1);
            candidate.top = top.first;
            candidate.bottom = bottom.last + 1;
            const uint64_t w = candidate.right - candidate.left;
            const uint64_t h = candidate.bottom - candidate.top;
            if (!labelShaped(w, h, labelWidth, labelHeight) ||
                w * h * 10 < uint64_t(width) * height)
                continue;
            // The same box seen twice (a double rule, a thick line) counts once.
            bool seen = false;
            for (LabelBox& other : found) {
                if (near(other.left, candidate.left, 2 * tolerance) &&
                    near(other.top, candidate.top, 2 * tolerance) &&
                    near(other.right, candidate.right, 2 * tolerance) &&
                    near(other.bottom, candidate.bottom, 2 * tolerance)) {
                    other.left = std::min(other.left, candidate.left);
                    other.top = std::min(other.top, candidate.top);
                    other.right = std::max(other.right, candidate.right);
                    other.bottom = std::max(other.bottom, candidate.bottom);
                    seen = true;
                }
            }
            if (!seen)
                found.push_back(candidate);
        }
    }
    if (found.size() != 1)
        return false;
    *box = found[0];
    return true;
}

bool cutOutLabelBox(const std::vector<unsigned char>& page, unsigned width, unsigned height,
                    int pageDpi, unsigned labelWidth, unsigned labelHeight, int labelDpi,
                    std::vector<unsigned char>* fitted, std::string* note)
{
    const double pageWidthMm = width * 25.4 / pageDpi, pageHeightMm = height * 25.4 / pageDpi;
    const double labelWidthMm = labelWidth * 25.4 / labelDpi;
    const double labelHeightMm = labelHeight * 25.4 / labelDpi;
    // Larger than the label: more than a tenth more paper.
    const bool larger = pageWidthMm * pageHeightMm > 1.1 * labelWidthMm * labelHeightMm;
    LabelBox box;
    if (!larger || page.size() != static_cast<size_t>(width) * height ||
        !findLabelBox(page.data(), width, height, labelWidth, labelHeight, &box))
        return false;
    const unsigned boxWidth = box.right - box.left, boxHeight = box.bottom - box.top;
    std::vector<unsigned char> cut(static_cast<size_t>(boxWidth) * boxHeight);
    for (unsigned y = 0; y < boxHeight; ++y)
        std::copy_n(page.data() + static_cast<size_t>(box.top + y) * width + box.left, boxWidth,
                    cut.data() + static_cast<size_t>(y) * boxWidth);
    const bool turned = fitPage(cut.data(), boxWidth, boxHeight, labelWidth, labelHeight, fitted);
    char text[256];
    std::snprintf(text, sizeof(text),
                  "The %.1fx%.1f mm label box was cut out of the %.1fx%.1f mm page, %sfitted "
                  "onto the %.1fx%.1f mm label.",
                  boxWidth * 25.4 / pageDpi, boxHeight * 25.4 / pageDpi, pageWidthMm, pageHeightMm,
                  turned ? "turned and " : "", labelWidthMm, labelHeightMm);
    *note = text;
    return true;
}

std::string placeOnLabel(const std::vector<unsigned char>& page, unsigned width, unsigned height,
                         int pageDpi, unsigned labelWidth, unsigned labelHeight, int labelDpi,
                         bool crop, std::vector<unsigned char>* fitted)
{
    std::string note;
    if (crop && cutOutLabelBox(page, width, height, pageDpi, labelWidth, labelHeight, labelDpi,
                               fitted, &note))
        return note;
    const bool turned = fitPage(page.data(), width, height, labelWidth, labelHeight, fitted);
    if (width == labelWidth && height == labelHeight)
        return std::string();
    return fitNote(width * 25.4 / pageDpi, height * 25.4 / pageDpi, turned,
                   labelWidth * 25.4 / labelDpi, labelHeight * 25.4 / labelDpi);
}

bool labelCropEnabled(pappl_job_t* job)
{
    const AppModel* model = appModelOfJob(job);
    pappl_printer_t* printer = papplJobGetPrinter(job);
    pappl_pr_driver_data_t data;
    if (model == nullptr || papplPrinterGetDriverData(printer, &data) == nullptr)
        return false;
    std::unique_ptr<pappl_pr_options_t, decltype(&papplJobDeletePrintOptions)> options(
        papplJobCreatePrintOptions(job, 1, false), papplJobDeletePrintOptions);
    std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer),
                                                        ippDelete);
    if (!options)
        return false;
    JobSettings settings;
    buildJobSettings(*model, *options, attrs.get(), data.mode_configured, papplJobGetFormat(job),
                     &settings);
    return settings.labelCrop;
}
