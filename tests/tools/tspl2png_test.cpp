// tspl2png: hand-written TSPL streams turn into the expected dots, the
// summary reports what was drawn, and malformed streams fail with a message.
#include "codec/base64.h"
#include "tests/tools/run_tool.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

// Rows of a P4 file as text, '#' for a black dot and '.' for white.
std::vector<std::string> pbmRows(const std::string& path)
{
    const std::string data = readFile(path);
    unsigned width = 0, height = 0;
    int headerLength = 0;
    if (std::sscanf(data.c_str(), "P4\n%u %u\n%n", &width, &height, &headerLength) != 2 ||
        headerLength == 0)
        return {};
    const size_t rowBytes = (width + 7) / 8;
    if (data.size() != headerLength + rowBytes * height)
        return {};
    std::vector<std::string> rows;
    for (unsigned y = 0; y < height; ++y) {
        std::string row;
        for (unsigned x = 0; x < width; ++x) {
            const unsigned char byte = data[headerLength + y * rowBytes + x / 8];
            row.push_back(byte & (0x80 >> (x % 8)) ? '#' : '.');
        }
        rows.push_back(row);
    }
    return rows;
}

std::string zlibBase64(const std::string& raw)
{
    uLongf length = compressBound(raw.size());
    std::string packed(length, '\0');
    compress(reinterpret_cast<Bytef*>(&packed[0]), &length,
             reinterpret_cast<const Bytef*>(raw.data()), raw.size());
    std::string text(4 * ((length + 2) / 3) + 1, '\0');
    text.resize(base64_encode(reinterpret_cast<const unsigned char*>(packed.data()),
                              static_cast<unsigned>(length), &text[0]));
    return text;
}

std::string bytes(std::initializer_list<unsigned char> list)
{
    return std::string(list.begin(), list.end());
}

struct LabelCase {
    const char* name;
    std::string tspl;
    std::vector<std::vector<std::string>> labels;
};

TEST(Tspl2png, DrawsBitmapsOnTheLabel)
{
    const LabelCase cases[] = {
        {"raw bitmap, 1 bits are paper",
         "\n\n\nSIZE 10 dot, 2 dot\r\nCLS\r\nBITMAP 1,0,1,2,0," + bytes({0x0F, 0xF0}) +
             "\r\nPRINT 1,1\r\n",
         {{".####.....", ".....####."}}},
        {"overwrite, or, xor",
         "SIZE 8 dot, 1 dot\r\nBITMAP 0,0,1,1,0," + bytes({0x0F}) + "\r\nPRINT 1\r\n" +
             "BITMAP 0,0,1,1,1," + bytes({0xF3}) + "\r\nPRINT 1\r\n" +
             "BITMAP 0,0,1,1,2," + bytes({0x3F}) + "\r\nPRINT 1\r\n" +
             "BITMAP 0,0,1,1,0," + bytes({0xFE}) + "\r\nPRINT 1\r\n",
         {{"####...."}, {"######.."}, {"..####.."}, {".......#"}}},
        {"compressed bitmap",
         "SIZE 16 dot, 2 dot\r\nCLS\r\nBITMAP 0,0,2,2,6," +
             zlibBase64(bytes({0x00, 0xFF, 0xAA, 0x55})) + "\r\nPRINT 1,2\r\n",
         {{"########........", ".#.#.#.##.#.#.#."}}},
        {"no SIZE: the label is the bitmap's extent",
         "BITMAP 2,1,1,1,0," + bytes({0x7F}) + "\r\nPRINT 1\r\n",
         {{"..........", "..#......."}}},
        {"REFERENCE moves the origin, clipping at the label edge",
         "SIZE 6 dot, 1 dot\r\nREFERENCE 3,0\r\nBITMAP 0,0,1,1,0," + bytes({0x3F}) +
             "\r\nPRINT 1\r\n",
         {{"...##."}}},
        {"the buffer persists until CLS",
         "SIZE 4 dot, 1 dot\r\nBITMAP 0,0,1,1,1," + bytes({0x7F}) + "\r\nPRINT 1\r\n" +
             "SIZE 4 dot, 1 dot\r\nPRINT 1\r\nCLS\r\nPRINT 1\r\n",
         {{"#..."}, {"#..."}, {"...."}}},
    };
    for (const LabelCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir.file("job.tspl"), c.tspl);
        const ToolRun run =
            runTool(TSPL2PNG_PATH, {"--pbm", "-o", dir.file("out"), dir.file("job.tspl")});
        ASSERT_TRUE(run.exited);
        ASSERT_EQ(run.status, 0) << run.err;
        for (size_t i = 0; i < c.labels.size(); ++i)
            EXPECT_EQ(pbmRows(dir.file("out-" + std::to_string(i + 1) + ".pbm")), c.labels[i])
                << "label " << i + 1;
        EXPECT_FALSE(fileExists(dir.file("out-" + std::to_string(c.labels.size() + 1) + ".pbm")));
    }
}

TEST(Tspl2png, SizeUnitsGiveTheLabelInDots)
{
    struct SizeCase {
        const char* size;
        const char* dpi;
        const char* header;
    };
    const SizeCase cases[] = {
        // 101.6 mm = 4 in = 812 dots; 2.5 mm = 19.98 dots rounds to 20.
        {"101.6 mm, 2.5 mm", "203", "P4\n812 20\n"},
        {"1 inch, 0.1 in", "300", "P4\n300 30\n"},
        {"2, 0.5", "200", "P4\n400 100\n"},
        {"17 dot, 3 dot", "600", "P4\n17 3\n"},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.size);
        TempDir dir;
        writeFile(dir.file("job.tspl"), std::string("SIZE ") + c.size + "\r\nCLS\r\nPRINT 1\r\n");
        const ToolRun run = runTool(TSPL2PNG_PATH, {"--pbm", "--dpi", c.dpi, dir.file("job.tspl")});
        ASSERT_EQ(run.status, 0) << run.err;
        // Without -o the images are named after the input file.
        EXPECT_EQ(readFile(dir.file("job-1.pbm")).rfind(c.header, 0), 0u);
    }
}

TEST(Tspl2png, WritesPngByDefault)
{
    TempDir dir;
    writeFile(dir.file("job.tspl"), "SIZE 3 dot, 3 dot\r\nCLS\r\nPRINT 1\r\n");
    const ToolRun run = runTool(TSPL2PNG_PATH, {"-o", dir.file("p"), dir.file("job.tspl")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(readFile(dir.file("p-1.png")).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

TEST(Tspl2png, InfoSummarisesAFilterPage)
{
    // A 812 x 1200 dot page as the filter sends it: SIZE rounds 150.0 mm to
    // 1199 rows, so the bitmap's last row and its 4 fill columns fall outside.
    // The first row is all dots: 812 of its 816 land on the label.
    std::string data(102 * 1200, '\xFF');
    std::fill(data.begin(), data.begin() + 102, '\0');
    TempDir dir;
    writeFile(dir.file("page.tspl"),
              std::string(64, '\n') + "SIZE 101.6 mm, 150.0 mm\r\nGAP 3.0 mm, 0.0 mm\r\n"
              "REFERENCE 0,0\r\nDIRECTION 0,0\r\nSPEED 4\r\nDENSITY 8\r\nSET RIBBON OFF\r\n"
              "OFFSET 0.0 mm\r\nSET TEAR ON\r\nSET PEEL OFF\r\nSET CUTTER OFF\r\nCLS\r\n"
              "BITMAP 0,0,102,1200,0," + data + "\r\nPRINT 1,3\r\n");
    const ToolRun run = runTool(TSPL2PNG_PATH, {"--info", dir.file("page.tspl")});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* line : {
             "SIZE 101.6 mm, 150.0 mm -> label 812 x 1199 dots\n",
             "GAP 3.0 mm, 0.0 mm\n",
             "SET CUTTER OFF\n",
             "BITMAP x=0 y=0 width=102 bytes (816 dots) height=1200 mode=0 data=122400 bytes, "
             "5612 dots outside the label\n",
             "PRINT 1,3 -> label 1: 812 x 1199 dots, sets 1, copies 3, 812 dots printed\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line;
    // --info alone writes no image.
    EXPECT_FALSE(fileExists(dir.file("page-1.png")));
}

struct MalformedCase {
    const char* name;
    std::string tspl;
    const char* message;
};

TEST(Tspl2png, RejectsMalformedStreams)
{
    const std::string raw2 = "BITMAP 0,0,1,2,0,";
    const std::string z2 = "BITMAP 0,0,1,2,6,";
    const MalformedCase cases[] = {
        {"truncated raw data", raw2 + "\x01", "BITMAP data truncated: 1 of 2 bytes present"},
        {"raw data too long", raw2 + "abc\r\n", "not followed by a line end"},
        {"head cut short", "BITMAP 0,0,1\r\n", "fifth comma"},
        {"negative x", "BITMAP -1,0,1,1,0,a\r\n", "BITMAP x '-1'"},
        {"letters for height", "BITMAP 0,0,1,x2,0,a\r\n", "BITMAP height 'x2'"},
        {"bitmap far too wide", "BITMAP 0,0,99999,1,0,a\r\n", "width in bytes"},
        {"unknown mode", "BITMAP 0,0,1,1,3,a\r\n", "unsupported BITMAP mode 3"},
        {"absurd SIZE", "SIZE 100000 mm, 10 mm\r\n", "label size"},
        {"SIZE without unit number", "SIZE mm, 10 mm\r\n", "expected two lengths"},
        {"Base64 length", z2 + "eJz7B\r\n", "Base64 text length 5 is not a multiple of 4"},
        {"Base64 stranger", z2 + "eJz-BwABAQEA\r\n", "invalid Base64 character 0x2D at offset 3"},
        {"padding in the middle", z2 + "eJ==BwABAQEA\r\n", "padding"},
        {"not zlib", z2 + "AAAAAAAA\r\n", "zlib"},
        {"zlib data too short", z2 + zlibBase64("\x7f") + "\r\n", "zlib data hold 1 bytes"},
        {"zlib data too long", z2 + zlibBase64("abc") + "\r\n", "longer than the 2 bytes"},
        {"zlib stream cut", z2 + zlibBase64("ab").substr(0, 8) + "\r\n", "truncated"},
        {"unknown command", "TEXT 10,10,\"3\",0,1,1,\"hi\"\r\n", "unsupported command"},
        {"binary junk", std::string("\x01\xFF junk\r\n"), "(\\x01\\xFF)"},
        {"print of nothing", "CLS\r\nPRINT 1\r\n", "nothing to print"},
        {"zero copies", "SIZE 1 dot, 1 dot\r\nPRINT 1,0\r\n", "PRINT sets[,copies]"},
        {"density out of range", "DENSITY 31\r\n", "density"},
    };
    for (const MalformedCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeFile(dir.file("bad.tspl"), c.tspl);
        const ToolRun run = runTool(TSPL2PNG_PATH, {"--pbm", dir.file("bad.tspl")});
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.err.rfind("tspl2png: ", 0), 0u) << run.err;
    }
}

} // namespace
