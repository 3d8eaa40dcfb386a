// The printer object: option clamping and the output stream list.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "recording_printer.h"

namespace {

TEST(PrinterOptions, ClampToTheirRanges)
{
    RecordingPrinter printer;
    EXPECT_EQ(printer.getPrintSpeed(), 7);
    EXPECT_EQ(printer.getPrintDensity(), 8);

    const struct {
        int in;
        int brightness;
    } brightness[] = {{-101, -100}, {-100, -100}, {0, 0}, {100, 100}, {250, 100}};
    for (const auto& c : brightness) {
        printer.setBrightness(c.in);
        EXPECT_EQ(printer.getBrightness(), c.brightness) << c.in;
        printer.setContrast(c.in);
        EXPECT_EQ(printer.getContrast(), c.brightness) << c.in;
    }

    const struct {
        const char* text;
        int speed;
    } speeds[] = {{"0", 1}, {"abc", 1}, {"-3", 1}, {"9", 9}, {"15", 15}, {"16", 15}};
    for (const auto& c : speeds) {
        printer.setPrintSpeed(const_cast<char*>(c.text));
        EXPECT_EQ(printer.getPrintSpeed(), c.speed) << c.text;
    }

    printer.setPrintDensity(-1);
    EXPECT_EQ(printer.getPrintDensity(), 0);
    printer.setPrintDensity(16);
    EXPECT_EQ(printer.getPrintDensity(), 15);
    printer.setAntiWrinkle(-4);
    EXPECT_EQ(printer.getAntiWrinkle(), -4);
}

class TwoStreams : public ::testing::Test {
protected:
    void SetUp() override
    {
        first = std::tmpfile();
        second = std::tmpfile();
        printer.getOutputStreams()->clear();
        printer.getOutputStreams()->push_back(first);
        printer.getOutputStreams()->push_back(second);
    }
    void TearDown() override
    {
        std::fclose(first);
        std::fclose(second);
    }
    static std::string contents(FILE* file)
    {
        std::fflush(file);
        std::rewind(file);
        std::string data;
        int c;
        while ((c = std::fgetc(file)) != EOF)
            data.push_back(static_cast<char>(c));
        return data;
    }

    RecordingPrinter printer;
    FILE* first = nullptr;
    FILE* second = nullptr;
};

TEST(PrinterStreams, StartWithStandardOutputAlone)
{
    RecordingPrinter printer;
    ASSERT_EQ(printer.getOutputStreams()->size(), 1u);
    EXPECT_EQ(printer.getOutputStreams()->front(), stdout);
}

TEST_F(TwoStreams, EveryOperationReachesEveryStream)
{
    printer.printStr("CLS\r\n");
    printer.printStr("100%d");
    printer.printByte(0);
    const unsigned char data[3] = {0xFF, 0x00, 0x7F};
    printer.printBytes(data, sizeof(data));
    const int written = printer.printFormat("PRINT %d,%d\r\n", 1, 23);
    EXPECT_EQ(written, 12);

    const std::string expected = std::string("CLS\r\n100%d") + std::string(1, '\0') +
                                 "\xFF" + std::string(1, '\0') + "\x7FPRINT 1,23\r\n";
    EXPECT_EQ(contents(first), expected);
    EXPECT_EQ(contents(second), expected);
}

TEST(PrinterStreams, DestroyingThePrinterLeavesStreamsOpen)
{
    FILE* stream = std::tmpfile();
    {
        RecordingPrinter printer;
        printer.getOutputStreams()->push_back(stream);
        printer.printStr("abc");
    }
    EXPECT_EQ(std::fputs("def", stream), 1);
    std::rewind(stream);
    char text[8] = {};
    ASSERT_NE(std::fgets(text, sizeof(text), stream), nullptr);
    EXPECT_STREQ(text, "abcdef");
    std::fclose(stream);
}

}  // namespace
