// Starting the programs this tree built. In a cross-build the tests run under
// an emulator (qemu-user) and so must the programs they start: the machine
// runs foreign executables only through it.
#ifndef TAVEL_TESTS_COMMON_TARGET_COMMAND_H
#define TAVEL_TESTS_COMMON_TARGET_COMMAND_H

#include <string>
#include <vector>

namespace tavel_test {

// The words that start program: the emulator's words, if any, then program.
// argv[0] of the result is searched in PATH (execvp).
std::vector<std::string> targetCommand(const std::string& program);

// Runs execvp with targetCommand(program) followed by args; returns only on
// failure.
void execTarget(const std::string& program, const std::vector<std::string>& args);

// targetCommand(program) as a shell command line, each word quoted.
std::string targetShellCommand(const std::string& program);

}  // namespace tavel_test

#endif
