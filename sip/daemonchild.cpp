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
    if (child > 0)
        return EALREADY;
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
        // Our signals arrive through a descriptor: give the daemon the
        // plain dispositions and an empty mask.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP})
            signal(sig, SIG_DFL);
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
    lines = LineBuffer();
    queued.clear();
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
    if (queued.size() + line.size() + 1 > maxQueued) {
        sipLog("daemon: it has not read its input for a while; '%s' is not sent", line.c_str());
        return false;
    }
    const bool waiting = !queued.empty();
    queued += line;
    queued += '\n';
    if (!waiting)
        flush();
    return true;
}

void DaemonChild::writable(int flags, void *arg)
{
    (void)flags;
    static_cast<DaemonChild *>(arg)->flush();
}

void DaemonChild::flush()
{
    while (!queued.empty() && toChild >= 0) {
        const ssize_t n = ::write(toChild, queued.data(), queued.size());
        if (n > 0) {
            queued.erase(0, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            if (!awaitingWrite)
                awaitingWrite = fd_listen(toChild, FD_WRITE, writable, this) == 0;
            return;
        }
        sipLog("daemon: cannot write its input: %s", n < 0 ? strerror(errno) : "nothing written");
        queued.clear();
        break;
    }
    if (awaitingWrite) {
        fd_close(toChild);
        awaitingWrite = false;
    }
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
            const unsigned dropped = lines.dropped();
            lines.append(buf, size_t(n), [this](const std::string &line) {
                // A handler may have stopped the daemon: the rest is not for anyone.
                if (fromChild >= 0)
                    onLine(line);
            });
            if (lines.dropped() != dropped)
                sipLog("daemon: dropped a line of more than %zu bytes", LineBuffer::maxLine);
            if (fromChild < 0)
                return;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        // End of its output: the daemon has ended (or closed it, which it never does).
        reap();
        return;
    }
}

void DaemonChild::closePipes()
{
    if (fromChild >= 0) {
        fd_close(fromChild);
        close(fromChild);
        fromChild = -1;
    }
    if (toChild >= 0) {
        if (awaitingWrite)
            fd_close(toChild);
        close(toChild);
        toChild = -1;
    }
    awaitingWrite = false;
    queued.clear();
}

void DaemonChild::reap()
{
    closePipes();
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

void DaemonChild::terminate()
{
    if (child <= 0)
        return;
    closePipes();
    ::kill(child, SIGTERM);
}

bool DaemonChild::ended()
{
    if (child <= 0)
        return true;
    int status = 0;
    if (waitpid(child, &status, WNOHANG) != child)
        return false;
    child = -1;
    return true;
}

void DaemonChild::kill()
{
    closePipes();
    if (child <= 0)
        return;
    ::kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    child = -1;
}

void DaemonChild::stop()
{
    if (child > 0) {
        terminate();
        // The daemon ends at once on SIGTERM; give it 2 s before SIGKILL.
        for (int i = 0; i < 200 && !ended(); ++i) {
            const struct timespec ten = {0, 10 * 1000 * 1000};
            nanosleep(&ten, nullptr);
        }
        kill();
    }
    closePipes();
}
