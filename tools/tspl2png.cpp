// tspl2png: shows what a TSPL label printer would print from a command
// stream, as one PNG (or PBM) file per printed label, and optionally a text
// summary of the commands.
#include "tools/label_image_writer.h"
#include "tools/tspl_decoder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "Usage: tspl2png [--info] [--dpi N] [-o PREFIX] [--pbm] FILE|-\n"
    "\n"
    "  --info      print a summary of the commands and labels to standard output;\n"
    "              images are then written only when -o is given\n"
    "  --dpi N     printer resolution for SIZE (203)\n"
    "  -o PREFIX   write PREFIX-1.png, PREFIX-2.png, ... (default: FILE without\n"
    "              its extension, or \"label\" for standard input)\n"
    "  --pbm       write PBM (P4) files instead of PNG\n";

// Streams larger than this are refused rather than read into memory.
constexpr size_t kMaxStreamBytes = 512u * 1024 * 1024;

struct Arguments {
    bool info = false;
    bool pbm = false;
    unsigned dpi = 203;
    std::string prefix;
    std::string input;
};

bool parseDpi(const char* text, unsigned& dpi)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 4800)
        return false;
    dpi = static_cast<unsigned>(value);
    return true;
}

bool parseArguments(int argc, char** argv, Arguments& args, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--info") {
            args.info = true;
        } else if (arg == "--pbm") {
            args.pbm = true;
        } else if (arg == "--dpi") {
            if (!hasValue || !parseDpi(argv[++i], args.dpi)) {
                error = "--dpi needs a resolution from 1 to 4800";
                return false;
            }
        } else if (arg == "-o") {
            if (!hasValue || argv[i + 1][0] == '\0') {
                error = "-o needs a file name prefix";
                return false;
            }
            args.prefix = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (!args.input.empty()) {
            error = "only one input file may be given";
            return false;
        } else {
            args.input = arg;
        }
    }
    if (args.input.empty())
        error = "no input file given";
    return !args.input.empty();
}

bool readStream(const std::string& path, std::vector<unsigned char>& data, std::string& error)
{
    FILE* file = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    unsigned char chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0 && data.size() <= kMaxStreamBytes)
        data.insert(data.end(), chunk, chunk + n);
    const bool failed = std::ferror(file) != 0;
    if (file != stdin)
        std::fclose(file);
    if (failed)
        error = path + ": read error";
    else if (data.size() > kMaxStreamBytes)
        error = path + ": larger than " + std::to_string(kMaxStreamBytes) + " bytes";
    return error.empty();
}

std::string defaultPrefix(const std::string& input)
{
    if (input == "-")
        return "label";
    const std::string::size_type slash = input.rfind('/');
    const std::string::size_type dot = input.rfind('.');
    const bool hasExtension = dot != std::string::npos && dot > 0 &&
                              (slash == std::string::npos || dot > slash + 1);
    return hasExtension ? input.substr(0, dot) : input;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "tspl2png: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    Arguments args;
    std::string error;
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    if (!parseArguments(argc, argv, args, error))
        return fail(error + "\n" + kUsage);
    std::vector<unsigned char> stream;
    if (!readStream(args.input, stream, error))
        return fail(error);

    const bool writeImages = !args.info || !args.prefix.empty();
    const std::string prefix = args.prefix.empty() ? defaultPrefix(args.input) : args.prefix;
    TsplDecodeOptions options;
    options.dpi = args.dpi;
    options.info = args.info ? &std::cout : nullptr;
    const LabelHandler writeLabel = [&](const LabelCanvas& label, unsigned number, uint64_t,
                                        std::string& problem) {
        if (!writeImages)
            return true;
        const std::string path =
            prefix + "-" + std::to_string(number) + (args.pbm ? ".pbm" : ".png");
        return args.pbm ? writeLabelPbm(label, path, problem) : writeLabelPng(label, path, problem);
    };
    const bool decoded = decodeTspl(stream, options, writeLabel, error);
    std::cout.flush();
    return decoded ? 0 : fail(args.input + ": " + error);
}
