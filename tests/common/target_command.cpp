// Emulator prefix of the programs the tests start.
#include "target_command.h"

#include <unistd.h>

#include <sstream>

namespace tavel_test {

std::vector<std::string> targetCommand(const std::string& program)
{
    std::vector<std::string> words;
    std::istringstream emulator(TAVEL_TARGET_EMULATOR);
    std::string word;
    while (emulator >> word)
        words.push_back(word);
    words.push_back(program);
    return words;
}

void execTarget(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> words = targetCommand(program);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
}

std::string targetShellCommand(const std::string& program)
{
    std::string line;
    for (const std::string& word : targetCommand(program))
        line += (line.empty() ? "'" : " '") + word + "'";
    return line;
}

}  // namespace tavel_test
