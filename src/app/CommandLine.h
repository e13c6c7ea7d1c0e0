#pragma once
#include <cstdio>
#include <optional>
#include <string>

// The options the application takes before anything starts.
class CommandLine {
public:
    static constexpr int usageExitStatus = 64;  // EX_USAGE

    // Absent: no option was given and the application starts as usual. Otherwise the
    // answer (help, version or usage error) has been printed and the process should
    // exit with the returned status without starting anything.
    static std::optional<int> handle(int argc, const char* const* argv, std::FILE* out = stdout,
                                     std::FILE* err = stderr);

    static std::string usage();
    // "Tidemark <version>"
    static std::string versionLine();
};
