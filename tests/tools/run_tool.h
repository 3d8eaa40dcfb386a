// Runs a built tool in a scratch folder and collects its exit status and output.
#pragma once

#include <string>
#include <vector>

struct ToolRun {
    bool exited = false; // false when the tool died from a signal
    int status = -1;
    std::string out;
    std::string err;
};

// A fresh folder below the test's temporary directory, removed with the object.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

ToolRun runTool(const std::string& program, const std::vector<std::string>& args);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
