// tmx-sip: the telephony side of tmx-driver. Runs the daemon as its child and
// rings a SIP phone for each call from the intercom.
#include "config.h"
#include "log.h"
#include "switchboard.h"

#include <re.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

Switchboard *board = nullptr;

void usage(FILE *out)
{
    fprintf(out, "usage: tmx-sip --config FILE\n"
                 "       tmx-sip --check --config FILE   check the file and exit\n");
}

void signalled(int sig)
{
    sipLog("signal %d: stopping", sig);
    if (board)
        board->shutdown();
    else
        re_cancel();
}

// The daemon built or installed beside this program.
std::vector<std::string> defaultDaemon(const Config &config)
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = ".";
    if (n > 0) {
        self[n] = 0;
        dir = self;
        dir = dir.substr(0, dir.rfind('/'));
    }
    std::string path = dir + "/tmx-driver";
    if (access(path.c_str(), X_OK) != 0 && access((dir + "/../src/tmx-driver").c_str(), X_OK) == 0)
        path = dir + "/../src/tmx-driver";
    std::vector<std::string> cmd{path};
    if (config.intercom >= 0) {
        cmd.push_back("-ic");
        cmd.push_back(std::to_string(config.intercom));
    }
    return cmd;
}

} // namespace

int main(int argc, char *argv[])
{
    std::string path;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--config" || arg == "-c") && i + 1 < argc) {
            path = argv[++i];
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (path.empty()) {
        usage(stderr);
        return 2;
    }
    Config config;
    std::string error;
    if (!config.load(path, error)) {
        fprintf(stderr, "tmx-sip: %s\n", error.c_str());
        return 2;
    }
    if (check)
        return 0;

    signal(SIGPIPE, SIG_IGN);
    if (libre_init()) {
        fprintf(stderr, "tmx-sip: cannot start libre\n");
        return 1;
    }
    int status = 0;
    {
        Switchboard switchboard(config);
        board = &switchboard;
        if (switchboard.start(config.daemon.empty() ? defaultDaemon(config) : config.daemon) == 0) {
            re_main(signalled);
            status = switchboard.exitStatus();
        } else {
            status = 1;
        }
        board = nullptr;
    }
    libre_close();
    tmr_debug();
    mem_debug();
    return status;
}
