#include "daemonchild.h"
#include "log.h"

#include <re.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

DaemonChild::DaemonChild(LineHandler onLine, ExitHandler onExit)
    : onLine(std::move(onLine)), onExit(std::move(onExit))
{
}

DaemonChild::~DaemonChild()
{
    stop();
}

int DaemonChild::start(const std::vector<std::string> &argv)
{
    if (argv.empty())
        return EINVAL;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC))
        return errno;
    if (pipe2(out, O_CLOEXEC)) {
        const int err = errno;
        close(in[0]);
        close(in[1]);
        return err;
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = getpid();

    child = fork();
    if (child < 0) {
        const int err = errno;
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        return err;
    }
    if (child == 0) {
        // The daemon holds the UDP audio ports: it must not outlive us.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        execv(args[0], args.data());
        const int err = errno;
        char msg[512];
        const int n = snprintf(msg, sizeof msg, "sip: daemon: cannot start %s: %s\n", args[0], strerror(err));
        if (n > 0) {
            ssize_t ignored = ::write(STDERR_FILENO, msg, size_t(n) < sizeof msg ? size_t(n) : sizeof msg - 1);
            (void)ignored;
        }
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toChild = in[1];
    fromChild = out[0];
    fcntl(toChild, F_SETFL, fcntl(toChild, F_GETFL) | O_NONBLOCK);
    fcntl(fromChild, F_SETFL, fcntl(fromChild, F_GETFL) | O_NONBLOCK);
    const int err = fd_listen(fromChild, FD_READ, readable, this);
    if (err) {
        stop();
        return err;
    }
    return 0;
}

bool DaemonChild::write(const std::string &line)
{
    if (toChild < 0)
        return false;
    const std::string text = line + "\n";
    const ssize_t n = ::write(toChild, text.data(), text.size());
    if (n == ssize_t(text.size()))
        return true;
    sipLog("daemon: could not write '%s': %s", line.c_str(), n < 0 ? strerror(errno) : "short write");
    return false;
}

void DaemonChild::readable(int flags, void *arg)
{
    (void)flags;
    static_cast<DaemonChild *>(arg)->readOutput();
}

void DaemonChild::readOutput()
{
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fromChild, buf, sizeof buf);
        if (n > 0) {
            partial.append(buf, size_t(n));
            size_t nl;
            while ((nl = partial.find('\n')) != std::string::npos) {
                const std::string line = partial.substr(0, nl);
                partial.erase(0, nl + 1);
                onLine(line);
                if (fromChild < 0)
                    return;
            }
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        // End of its output: the daemon has ended (or closed it, which it never does).
        reap();
        return;
    }
}

void DaemonChild::reap()
{
    if (fromChild >= 0) {
        fd_close(fromChild);
        close(fromChild);
        fromChild = -1;
    }
    if (toChild >= 0) {
        close(toChild);
        toChild = -1;
    }
    if (child <= 0)
        return;
    int status = 0;
    const pid_t pid = child;
    child = -1;
    if (waitpid(pid, &status, 0) != pid)
        status = 0;
    if (onExit)
        onExit(status);
}

void DaemonChild::stop()
{
    if (child > 0) {
        onExit = nullptr;
        if (toChild >= 0) {
            close(toChild);
            toChild = -1;
        }
        kill(child, SIGTERM);
        // The daemon ends at once on SIGTERM; give it 2 s before SIGKILL.
        int status = 0;
        for (int i = 0; i < 200; ++i) {
            if (waitpid(child, &status, WNOHANG) == child) {
                child = -1;
                break;
            }
            const struct timespec ten = {0, 10 * 1000 * 1000};
            nanosleep(&ten, nullptr);
        }
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            child = -1;
        }
    }
    reap();
}
