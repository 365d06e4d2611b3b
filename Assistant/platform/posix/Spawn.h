#pragma once
// Running a program to its end on POSIX systems, shared by the units of this folder.
#include <string>
#include <vector>

namespace kx::platform::posix {

// Runs args[0] (looked up in PATH when it has no "/") with the arguments, standard input from
// /dev/null, and waits for it. Its exit code (128 + the signal's number when a signal ended it),
// or -1 when it could not be started, with errno's text in error; output receives what it wrote
// to standard output when given (then standard error goes to /dev/null; both are otherwise
// inherited).
int runProgram(const std::vector<std::string>& args, std::string* output, std::string* error = nullptr);

} // namespace kx::platform::posix
