// Runs a built tool in a scratch folder and collects its exit status and output.
#pragma once

#include <string>
#include <vector>

#include "test_files.h"

using tavel_test::readFile;
using tavel_test::TempDir;
using tavel_test::writeFile;

struct ToolRun {
    bool exited = false; // false when the tool died from a signal
    int status = -1;
    std::string out;
    std::string err;
};

ToolRun runTool(const std::string& program, const std::vector<std::string>& args);

bool fileExists(const std::string& path);
