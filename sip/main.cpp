// tmx-sip: the telephony side of tmx-driver. Runs the daemon as its child and
// rings a SIP phone for each call from the intercom.
#include "config.h"
#include "heaptrim.h"
#include "log.h"
#include "switchboard.h"
#include "tlscontext.h"

#include <re.h>
#define DEBUG_MODULE "tmx-sip"
#define DEBUG_LEVEL 0
#include <re_dbg.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <malloc.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TMX_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TMX_SANITIZER_HEAP 1
#endif
#endif
#ifdef TMX_SANITIZER_HEAP
// The sanitizers' own allocator's counts (not every compiler ships their header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
extern "C" size_t __sanitizer_get_free_bytes();
#endif

namespace {

Switchboard *board = nullptr;
std::string configPath;

void usage(FILE *out)
{
    fprintf(out, "usage: tmx-sip --config FILE\n"
                 "       tmx-sip --check --config FILE   check the file and exit\n");
}

// A file with a password or PIN that others may read (or write) gives the
// way in to anyone with an account on the machine. tmx-sip runs all the same.
void warnIfExposed(const std::string &path, const Config &config)
{
    struct stat st;
    if (!config.holdsSecrets() || stat(path.c_str(), &st) != 0 || !(st.st_mode & (S_IROTH | S_IWOTH)))
        return;
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
    sipLog(logkey::configWarning,
           "config: %s holds a password or PIN and is %s by others (mode %s): chmod o-rwx it", path.c_str(),
           st.st_mode & S_IROTH ? "readable" : "writable", mode);
}

// SIGUSR1: one line with the bytes in use on the heap (libre's objects
// included: they come from malloc) and the open descriptors, to see that
// calls leave nothing behind. A sanitizer's allocator keeps its own count.
void reportMemory()
{
#ifdef TMX_SANITIZER_HEAP
    const size_t inUse = __sanitizer_get_current_allocated_bytes();
    const size_t heapFree = __sanitizer_get_free_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    const size_t inUse = m.uordblks + m.hblkhd;
    const size_t heapFree = m.fordblks;
#endif
    int fds = -1;
    if (DIR *dir = opendir("/proc/self/fd")) {
        fds = 0;
        while (const struct dirent *e = readdir(dir))
            fds += e->d_name[0] != '.';
        closedir(dir);
        --fds; // the listing's own
    }
    sipLog(logkey::memory, LogFields().add("heap", (long long)inUse).add("heap_free", (long long)heapFree).add("fds", fds),
           "memory: %zu bytes in use on the heap, %zu free in it; %d descriptors open", inUse, heapFree, fds);
}

// SIGTERM and SIGINT stop; SIGHUP reads the configuration again. They come
// through a descriptor in the main loop, so none is lost between two polls.
void signalled(int flags, void *arg)
{
    (void)flags;
    const int fd = *static_cast<int *>(arg);
    struct signalfd_siginfo info;
    while (read(fd, &info, sizeof info) == ssize_t(sizeof info)) {
        if (info.ssi_signo == SIGHUP) {
            Config fresh;
            std::string error;
            if (!fresh.load(configPath, error)) {
                sipLog(logkey::configRefused, "config: %s; the running configuration stays", error.c_str());
            } else if (board) {
                warnIfExposed(configPath, fresh);
                for (const std::string &warning : fresh.warnings)
                    sipLog(logkey::configWarning, "config: %s", warning.c_str());
                board->reload(fresh);
            }
            continue;
        }
        if (info.ssi_signo == SIGUSR1) {
            reportMemory();
            continue;
        }
        sipLog(logkey::stopping, LogFields().add("signal", info.ssi_signo), "signal %u: stopping", info.ssi_signo);
        if (board)
            board->shutdown();
        else
            re_cancel();
    }
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
    if (config.daemon.intercom >= 0) {
        cmd.push_back("-ic");
        cmd.push_back(std::to_string(config.daemon.intercom));
    }
    return cmd;
}

} // namespace

int main(int argc, char *argv[])
{
    // Blocks of 8 kB and more come from their own mappings, given back when
    // freed. Each SIP request libre takes is read into an 8 kB buffer that its
    // server transaction keeps for 32 s; with those in the heap, the small
    // blocks of the calls in between settle around them and the heap's top
    // never comes down: RSS grew by about a kilobyte per door call, with
    // nothing left in use. Out of the heap, the holes close again. (Fixing
    // the threshold also stops malloc raising it after the first such free.)
    mallopt(M_MMAP_THRESHOLD, 8 * 1024);
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
    for (const std::string &warning : config.warnings)
        fprintf(stderr, "tmx-sip: %s\n", warning.c_str());
    if (config.sip.transport == Config::Transport::Tls && !TlsContext().load(config, error)) {
        fprintf(stderr, "tmx-sip: %s\n", error.c_str());
        return 2;
    }
    if (check)
        return 0;

    configPath = path;
    warnIfExposed(path, config);
    signal(SIGPIPE, SIG_IGN);
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1})
        sigaddset(&handled, sig);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    int signals = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0) {
        fprintf(stderr, "tmx-sip: cannot take signals: %s\n", strerror(errno));
        return 1;
    }
    if (libre_init()) {
        fprintf(stderr, "tmx-sip: cannot start libre\n");
        return 1;
    }
    // libre's own warnings (a TLS handshake that failed, say) as plain lines.
    dbg_init(DBG_WARNING, DBG_NONE);
    int status = 0;
    {
        Switchboard switchboard(config);
        HeapTrim heapTrim;
        board = &switchboard;
        if (switchboard.start(config.daemon.command.empty() ? defaultDaemon(config) : config.daemon.command) == 0
            && fd_listen(signals, FD_READ, signalled, &signals) == 0) {
            re_main(nullptr);
        } else {
            status = 1;
        }
        fd_close(signals);
        board = nullptr;
    }
    close(signals);
    libre_close();
    tmr_debug();
    mem_debug();
    return status;
}
