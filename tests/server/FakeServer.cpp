// A stand-in for TidemarkServer used by the supervision tests. What it does is chosen by
// TIDEMARK_FAKE_MODE:
//   serve        answer GET /api/health with 200 on PORT; exit 0 on SIGTERM
//   dump-env     write the environment and working directory to TIDEMARK_FAKE_OUT, then serve
//   ignore-term  ignore SIGTERM and sleep
//   exit         exit at once with status TIDEMARK_FAKE_EXIT
//   output       write the chunks of the log-drain test to stdout and stderr, then sleep
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

std::string env(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

void writeChunk(int fd, const std::string& text) {
    if (::write(fd, text.data(), text.size()) < 0) _exit(2);
    usleep(150000);  // separate reads on the other side
}

int serve() {
    httplib::Server http;
    signal(SIGTERM, [](int) { _exit(0); });
    http.Get("/api/health", [](const httplib::Request&, httplib::Response& res) { res.set_content("{}", "application/json"); });
    if (!http.listen("127.0.0.1", std::atoi(env("PORT").c_str()))) return 1;
    return 0;
}

}  // namespace

int main() {
    const std::string mode = env("TIDEMARK_FAKE_MODE");
    if (mode == "dump-env") {
        std::ofstream out(env("TIDEMARK_FAKE_OUT"));
        char cwd[4096];
        out << "CWD=" << (getcwd(cwd, sizeof cwd) ? cwd : "") << '\0';
        for (char** entry = environ; *entry; ++entry) out << *entry << '\0';
        out.close();
        return serve();
    }
    if (mode == "ignore-term") {
        signal(SIGTERM, SIG_IGN);
        for (;;) pause();
    }
    if (mode == "exit") return std::atoi(env("TIDEMARK_FAKE_EXIT").c_str());
    if (mode == "output") {
        writeChunk(1, "a\nb\n\nc");
        writeChunk(1, "par");
        writeChunk(1, "tial\n");
        writeChunk(1, "100%@ %d %s\n");
        writeChunk(2, "from stderr\n");
        writeChunk(1, "cr\rcrlf\r\nvt\vff\fnel\xc2\x85ls\xe2\x80\xa8ps\xe2\x80\xa9" "end");
        writeChunk(1, "bad \xff\xfe" " utf8\n");
        writeChunk(1, "after\n");
        for (;;) pause();
    }
    return serve();
}
