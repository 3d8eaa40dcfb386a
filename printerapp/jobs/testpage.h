// The test label: one page drawn at the printer's resolution and default
// label size that shows the label's edges (a frame on the outermost dots),
// what the printer is set to (label size, darkness, speed, label mode), a
// solid band and a staircase of one-dot lines across every dot of the
// label's width (a dead heating dot leaves a white line through the band
// and a gap in the staircase), a grey ramp of nine steps dithered here so
// that it prints as the same grey steps whatever the halftone, and a Code
// 128 bar code.
#ifndef TAVEL_PRINTERAPP_JOBS_TESTPAGE_H
#define TAVEL_PRINTERAPP_JOBS_TESTPAGE_H

#include <pappl/pappl.h>

#include <string>
#include <vector>

// What the test label is drawn for and says.
struct TestLabelFacts {
    unsigned width = 0;   // the label, in dots
    unsigned height = 0;
    int dpi = 203;
    int darknessPercent = 53;  // printer-darkness-configured + print-darkness-default
    int speed = 0;             // print-speed-default, 1/100 mm/s; 0: the printer's own
    pappl_label_mode_t mode = PAPPL_LABEL_MODE_TEAR_OFF;  // 0: the printer's own
    pappl_media_tracking_t tracking = PAPPL_MEDIA_TRACKING_GAP;
};

// Where the parts of the label lie, in dots: rows [top, bottom) of each
// band, the ramp's columns and the bar code's module width (0 when the
// label is too narrow for a bar code).
struct TestLabelLayout {
    unsigned textTop = 0, textBottom = 0;
    unsigned solidTop = 0, solidBottom = 0;      // inked across the whole width
    unsigned stairsTop = 0, stairsBottom = 0;    // one step per dot column
    unsigned rampTop = 0, rampBottom = 0;
    unsigned rampLeft = 0, rampRight = 0;        // kTestLabelRampSteps equal steps
    unsigned barcodeTop = 0, barcodeBottom = 0;
    unsigned module = 0;
};

// The ramp's steps: step k inks k of every eight dots, from blank to full.
constexpr unsigned kTestLabelRampSteps = 9;

// The lines of text on the label.
std::vector<std::string> testLabelText(const TestLabelFacts& facts);

// What the label's bar code holds.
std::string testLabelBarcodeText(int dpi);

// Where the parts of a width x height label at dpi lie.
TestLabelLayout testLabelLayout(unsigned width, unsigned height, int dpi);

// Draws the test label, width x height dots, one byte per dot: only 0
// (blank) and 255 (full ink), so that no halftone changes a dot.
std::vector<unsigned char> drawTestLabel(const TestLabelFacts& facts);

// PAPPL's test page callback: writes the test label of the printer's
// default media as a PNG file at the printer's resolution and returns its
// path (in buffer), or null when the file cannot be written.
const char* appTestPage(pappl_printer_t* printer, char* buffer, size_t bufsize);

#endif
