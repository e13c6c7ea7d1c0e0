// tidemark-nettop: per-process TCP byte counts in the CSV form Tidemark reads.
#include <cstdio>
#include <cstring>
#include <string>

#include "SocketOwners.h"
#include "TcpSocketCounters.h"

namespace {

constexpr int usageExitStatus = 64;  // EX_USAGE
const char* const expectedArguments[] = {"-P", "-L", "1", "-x", "-J", "bytes_in,bytes_out"};

bool argumentsMatch(int argc, char** argv) {
    constexpr int count = sizeof expectedArguments / sizeof expectedArguments[0];
    if (argc != count + 1) return false;
    for (int i = 0; i < count; ++i)
        if (std::strcmp(argv[i + 1], expectedArguments[i]) != 0) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!argumentsMatch(argc, argv)) {
        std::fputs("usage: tidemark-nettop -P -L 1 -x -J bytes_in,bytes_out\n", stderr);
        return usageExitStatus;
    }
    const auto sockets = readTcpSocketCounters();
    if (!sockets) {
        std::fputs("tidemark-nettop: the kernel's socket diagnostics are not available\n", stderr);
        return 1;
    }
    std::string out = ",bytes_in,bytes_out,\n";
    for (const auto& process : attributeToProcesses(*sockets)) {
        out += csvSafeName(process.name);
        out += '.';
        out += std::to_string(process.pid);
        out += ',';
        out += std::to_string(process.bytesReceived);
        out += ',';
        out += std::to_string(process.bytesSent);
        out += ",\n";
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) return 1;
    return 0;
}
