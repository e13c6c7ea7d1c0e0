#include "app/CommandLine.h"

#include <string_view>

namespace {

enum class Request { run, help, version, unknown };

Request requestOf(int argc, const char* const* argv) {
    Request request = Request::run;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            request = Request::help;
        } else if (argument == "--version") {
            if (request != Request::help) request = Request::version;
        } else {
            // One unknown word spoils the whole line, so nothing half-understood runs.
            return Request::unknown;
        }
    }
    return request;
}

}  // namespace

std::string CommandLine::usage() {
    return "Usage: tidemark [--help | --version]\n"
           "\n"
           "Tidemark shows a live view of this computer from the tray: CPU, memory, disk,\n"
           "network and the busiest processes. It starts its own web application\n"
           "(TidemarkServer) on 127.0.0.1 and stops it when it quits. Without a display it\n"
           "runs headless and logs the address that opens the panel in a browser.\n"
           "\n"
           "Options:\n"
           "  -h, --help     print this help and exit\n"
           "      --version  print the version and exit\n"
           "\n"
           "Environment:\n"
           "  TIDEMARK_UI=headless          no tray: log the panel's browser address instead\n"
           "  TIDEMARK_UI=desktop           insist on the tray (fails without a display)\n"
           "  TIDEMARK_KEEP_POPOVER_OPEN=1  keep the panel open when it loses focus\n"
           "\n"
           "Files:\n"
           "  log        standard error (as a service: journalctl --user -u tidemark)\n"
           "  settings   $XDG_CONFIG_HOME/Tidemark/defaults.json (default ~/.config)\n"
           "  autostart  $XDG_CONFIG_HOME/autostart/tidemark.desktop (Launch at Login)\n"
           "  data       $XDG_DATA_HOME/Tidemark/ (default ~/.local/share)\n";
}

std::string CommandLine::versionLine() { return std::string("Tidemark ") + TIDEMARK_VERSION; }

std::optional<int> CommandLine::handle(int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    switch (requestOf(argc, argv)) {
        case Request::run:
            return std::nullopt;
        case Request::help:
            std::fputs(usage().c_str(), out);
            return std::fflush(out) == 0 ? 0 : 1;
        case Request::version:
            std::fputs((versionLine() + "\n").c_str(), out);
            return std::fflush(out) == 0 ? 0 : 1;
        case Request::unknown:
            break;
    }
    std::fputs(usage().c_str(), err);
    return usageExitStatus;
}
