// The TSPL encoder as a front end other than the filter uses it: a printer
// on its own stream, with its own image offset, beside another printer on
// another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "tspl/tspl_commands.h"
#include "tspl/tspl_printer.h"

namespace {

std::string contentsOf(FILE* file)
{
    std::string text;
    std::rewind(file);
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0)
        text.append(chunk, got);
    return text;
}

std::string repeated(const std::string& text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

struct Job {
    Settings settings = {};
    int offsetX = 0;
    int offsetY = 0;
    unsigned copies = 1;
};

// One job as a front end runs it: set-up block and CLS, then the pages.
// The pages start only once every job has set its printer up, so that a
// setting kept outside the printer would be overwritten before it is used.
void printJob(FILE* output, const Job& job, const unsigned char* page, int pages,
              std::atomic<int>& setUp, int jobs)
{
    TsplPrinter printer(output);
    cups_page_header2_t header = {};
    header.NumCopies = job.copies;
    printer.setPageHeader(&header);
    printer.setImageOffset(job.offsetX, job.offsetY);
    jobSetup(printer, job.settings);
    setCls(printer);
    ++setUp;
    while (setUp.load() < jobs)
        std::this_thread::yield();
    for (int i = 0; i < pages; ++i)
        printer.doPrintImage(page, 8, 2, 8);
}

// Two jobs with different settings and offsets run at the same time on two
// threads, each printer writing to its own stream. Each stream must hold
// exactly its own job: any setting or offset shared between printers would
// leak into the other job's bytes.
TEST(TsplPrinter, TwoJobsOnTwoThreadsKeepTheirOwnSettingsAndStreams)
{
    // 8 x 2 processed page, every pixel a dot (packs to 0 bits).
    const unsigned char page[16] = {255, 255, 255, 255, 255, 255, 255, 255,
                                    255, 255, 255, 255, 255, 255, 255, 255};
    const int pages = 300;

    Job shifted;
    shifted.settings.pageWidth = 100.0f;
    shifted.settings.pageHeight = 150.0f;
    shifted.settings.GapsHeight = 3;
    std::snprintf(shifted.settings.PaperType, 41, "LabelGaps");
    std::snprintf(shifted.settings.PrintSpeed, 41, "4");
    shifted.settings.Darkness = 8;
    std::snprintf(shifted.settings.MediaMethod, 41, "Direct");
    std::snprintf(shifted.settings.PostAction, 41, "TearOff");
    shifted.offsetX = 2;
    shifted.offsetY = 1;
    shifted.copies = 3;

    Job plain;
    plain.settings.pageWidth = 50.0f;
    plain.settings.pageHeight = 30.0f;
    std::snprintf(plain.settings.PaperType, 41, "Continue");
    std::snprintf(plain.settings.Origin, 41, "Rotation180");
    plain.settings.Darkness = 31;
    std::snprintf(plain.settings.PostAction, 41, "Normal");

    // The shift by 2 dots right and 1 row down leaves the first row blank
    // (all 1 bits) and the two leftmost pixels of the second row blank.
    const std::string shiftedJob =
        "SIZE 100.0 mm, 150.0 mm\r\nGAP 3.0 mm, 0.0 mm\r\nREFERENCE 0,0\r\nDIRECTION 0,0\r\n"
        "SPEED 4\r\nDENSITY 8\r\nSET RIBBON OFF\r\nOFFSET 0.0 mm\r\n"
        "SET TEAR ON\r\nSET PEEL OFF\r\nSET CUTTER OFF\r\nCLS\r\n" +
        repeated(std::string("BITMAP 0,0,1,2,0,\xFF\xC0\r\nPRINT 1,3\r\n"), pages);
    const std::string plainJob =
        "SIZE 50.0 mm, 30.0 mm\r\nGAP 0, 0\r\nREFERENCE 0,0\r\nDIRECTION 1,0\r\n"
        "OFFSET 0.0 mm\r\nCLS\r\n" +
        repeated("BITMAP 0,0,1,2,0," + std::string(2, '\0') + "\r\nPRINT 1,1\r\n", pages);

    FILE* first = std::tmpfile();
    FILE* second = std::tmpfile();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    std::atomic<int> setUp{0};
    std::thread one(printJob, first, std::cref(shifted), page, pages, std::ref(setUp), 2);
    std::thread two(printJob, second, std::cref(plain), page, pages, std::ref(setUp), 2);
    one.join();
    two.join();

    EXPECT_EQ(contentsOf(first), shiftedJob);
    EXPECT_EQ(contentsOf(second), plainJob);
    std::fclose(first);
    std::fclose(second);
}

}  // namespace
