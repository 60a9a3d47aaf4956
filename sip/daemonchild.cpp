#include "daemonchild.h"
#include "log.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

DaemonChild::DaemonChild(LineHandler onLine, ExitHandler onExit, LineHandler onErrorLine)
    : onLine(std::move(onLine)), onExit(std::move(onExit)), onErrorLine(std::move(onErrorLine))
{
    tmr_init(&eofTimer);
    tmr_init(&killTimer);
}

DaemonChild::~DaemonChild()
{
    stop();
    if (childSignals >= 0) {
        fd_close(childSignals);
        close(childSignals);
    }
}

// SIGCHLD through a descriptor on the main loop. Blocked before the first
// fork, so none is lost; the daemon gets the signal unblocked again.
int DaemonChild::watchChildren()
{
    if (childSignals >= 0)
        return 0;
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    if (sigprocmask(SIG_BLOCK, &chld, nullptr))
        return errno;
    childSignals = signalfd(-1, &chld, SFD_NONBLOCK | SFD_CLOEXEC);
    if (childSignals < 0)
        return errno;
    const int err = fd_listen(childSignals, FD_READ, childSignalled, this);
    if (err) {
        close(childSignals);
        childSignals = -1;
    }
    return err;
}

int DaemonChild::start(const std::vector<std::string> &argv)
{
    if (argv.empty())
        return EINVAL;
    if (child > 0)
        return EALREADY;
    // Said here in words: after the fork the child can only exit.
    if (access(argv[0].c_str(), X_OK) != 0)
        return errno;
    int err = watchChildren();
    if (err)
        return err;
    int in[2], out[2], errs[2];
    if (pipe2(in, O_CLOEXEC))
        return errno;
    if (pipe2(out, O_CLOEXEC)) {
        err = errno;
        close(in[0]);
        close(in[1]);
        return err;
    }
    if (pipe2(errs, O_CLOEXEC)) {
        err = errno;
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        return err;
    }
    // Between fork and exec the child may call only async-signal-safe
    // functions: everything it needs is made here.
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const std::string execFailed = "sip: daemon: cannot execute " + argv[0] + "\n";
    const pid_t parent = getpid();
    sigset_t none;
    sigemptyset(&none);
    struct rlimit files = {1024, 1024};
    getrlimit(RLIMIT_NOFILE, &files);
    const int maxFd = files.rlim_cur < (1u << 20) ? int(files.rlim_cur) : 1 << 20;

    child = fork();
    if (child < 0) {
        err = errno;
        for (int fd : {in[0], in[1], out[0], out[1], errs[0], errs[1]})
            close(fd);
        return err;
    }
    if (child == 0) {
        // The daemon holds the UDP audio ports: it must not outlive us.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        // Our signals arrive through descriptors: give the daemon the plain
        // dispositions and an empty mask.
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD})
            signal(sig, SIG_DFL);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(errs[1], STDERR_FILENO);
        // Only 0-2 go with it: not our sockets, nor what libre opened.
        if (close_range(3, ~0U, 0) != 0)
            for (int fd = 3; fd < maxFd; ++fd)
                close(fd);
        execv(args[0], args.data());
        ssize_t ignored = ::write(STDERR_FILENO, execFailed.data(), execFailed.size());
        (void)ignored;
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(errs[1]);
    toChild = in[1];
    fromChild = out[0];
    closeErrors();      // a child of the daemon before may still hold them
    errorsFromChild = errs[0];
    quiet = false;
    killed = false;
    lines = LineBuffer();
    errorLines = LineBuffer();
    queued.clear();
    fcntl(toChild, F_SETFL, fcntl(toChild, F_GETFL) | O_NONBLOCK);
    fcntl(fromChild, F_SETFL, fcntl(fromChild, F_GETFL) | O_NONBLOCK);
    fcntl(errorsFromChild, F_SETFL, fcntl(errorsFromChild, F_GETFL) | O_NONBLOCK);
    err = fd_listen(fromChild, FD_READ, readable, this);
    if (!err)
        err = fd_listen(errorsFromChild, FD_READ, errorReadable, this);
    if (err) {
        kill();
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
        if (n < 0 && errno == EPIPE) {
            inputClosed();
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

// At most 64 KiB at a time, so that a daemon (or a child of its own) that
// writes without end cannot keep the loop from the rest. `fd` is read again
// after each handler, which may have closed it. False at its end.
bool DaemonChild::readLines(const int &fd, LineBuffer &buffer, const LineBuffer::LineHandler &handle)
{
    char buf[4096];
    for (int reads = 0; reads < 16 && fd >= 0; ++reads) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            buffer.append(buf, size_t(n), handle);
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    return true;
}

void DaemonChild::readOutput()
{
    const unsigned dropped = lines.dropped();
    const bool open = readLines(fromChild, lines, [this](const std::string &line) {
        // A handler may have stopped the daemon: the rest is not for anyone.
        if (fromChild >= 0)
            onLine(line);
    });
    if (lines.dropped() != dropped)
        sipLog("daemon: dropped a line of more than %zu bytes", LineBuffer::maxLine);
    if (!open)
        outputClosed();
}

void DaemonChild::errorReadable(int flags, void *arg)
{
    (void)flags;
    static_cast<DaemonChild *>(arg)->readErrors();
}

// Its standard error, passed on a whole line at a time (one write each, so
// that it never mixes with ours). The end of it means nothing: the daemon
// may close it and run on.
void DaemonChild::readErrors()
{
    if (!readLines(errorsFromChild, errorLines, [this](const std::string &line) { relayError(line); }))
        closeErrors();
}

void DaemonChild::relayError(const std::string &line)
{
    const std::string text = line + "\n";
    ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;
    if (onErrorLine)
        onErrorLine(line);
}

void DaemonChild::closeErrors()
{
    if (errorsFromChild >= 0) {
        fd_close(errorsFromChild);
        close(errorsFromChild);
        errorsFromChild = -1;
    }
}

// End of file: the daemon has ended, is ending, or closed its output and
// runs on. Which one, the grace time tells.
void DaemonChild::outputClosed()
{
    fd_close(fromChild);
    close(fromChild);
    fromChild = -1;
    checkExit();
    if (child > 0 && !quiet) {
        closedPipe = "output";
        tmr_start(&eofTimer, eofGraceMs, eofGraceOver, this);
    }
}

// Its input has no reader any more. What was queued is lost; whether it is
// ending or runs on deaf, the grace time tells (its exit is not looked for
// here: this runs inside whatever wrote to it).
void DaemonChild::inputClosed()
{
    sipLog("daemon: its input is closed; '%s' is not sent", queued.substr(0, queued.find('\n')).c_str());
    closeInput();
    if (child > 0 && !quiet) {
        closedPipe = "input";
        tmr_start(&eofTimer, eofGraceMs, eofGraceOver, this);
    }
}

void DaemonChild::eofGraceOver(void *arg)
{
    DaemonChild *self = static_cast<DaemonChild *>(arg);
    self->checkExit();
    if (self->child <= 0)
        return;
    sipLog(logkey::daemonStuck, LogFields().add("closed", self->closedPipe),
           "daemon: closed its %s but runs on (pid %d): ending it", self->closedPipe, int(self->child));
    self->closePipes();
    ::kill(self->child, SIGTERM);
    tmr_start(&self->killTimer, killGraceMs, killDue, self);
}

void DaemonChild::killDue(void *arg)
{
    DaemonChild *self = static_cast<DaemonChild *>(arg);
    self->checkExit();
    if (self->child <= 0 || self->killed)
        return;
    sipLog(logkey::daemonKilled,
           "daemon: still running %llu s after SIGTERM: killing it", (unsigned long long)(killGraceMs / 1000));
    ::kill(self->child, SIGKILL);
    self->killed = true;
}

void DaemonChild::childSignalled(int flags, void *arg)
{
    (void)flags;
    DaemonChild *self = static_cast<DaemonChild *>(arg);
    struct signalfd_siginfo info;
    while (read(self->childSignals, &info, sizeof info) == ssize_t(sizeof info)) {
    }
    self->checkExit();
}

// Never waits: the daemon has exited or it has not.
void DaemonChild::checkExit()
{
    if (child <= 0)
        return;
    int status = 0;
    const pid_t got = waitpid(child, &status, WNOHANG);
    if (got == child)
        exited(status);
    else if (got < 0 && errno == ECHILD)
        exited(0); // not ours to wait for any more: gone all the same
}

void DaemonChild::exited(int status)
{
    child = -1;
    tmr_cancel(&eofTimer);
    tmr_cancel(&killTimer);
    // What it wrote before it ended. A child of its own that still holds
    // the pipe gets no further hearing.
    if (!quiet)
        readOutput();
    readErrors();
    if (errorLines.pending())   // its last words, without a line end
        errorLines.append("\n", 1, [this](const std::string &line) { relayError(line); });
    closeErrors();
    closePipes();
    if (!quiet && onExit)
        onExit(status);
}

void DaemonChild::closePipes()
{
    if (fromChild >= 0) {
        fd_close(fromChild);
        close(fromChild);
        fromChild = -1;
    }
    closeInput();
}

void DaemonChild::closeInput()
{
    if (toChild >= 0) {
        if (awaitingWrite)
            fd_close(toChild);
        close(toChild);
        toChild = -1;
    }
    awaitingWrite = false;
    queued.clear();
}

void DaemonChild::terminate()
{
    if (child <= 0)
        return;
    quiet = true;
    tmr_cancel(&eofTimer);
    closePipes();
    ::kill(child, SIGTERM);
}

bool DaemonChild::ended()
{
    checkExit();
    return child <= 0;
}

void DaemonChild::kill()
{
    closePipes();
    closeErrors();
    if (child <= 0)
        return;
    quiet = true;
    if (!killed)
        ::kill(child, SIGKILL);
    killed = true;
    // Reaped by SIGCHLD once gone; one that never goes is left to init.
    checkExit();
}

void DaemonChild::stop()
{
    tmr_cancel(&eofTimer);
    if (child > 0 && !killed) {
        terminate();
        // The daemon ends at once on SIGTERM; give it 2 s before SIGKILL.
        for (int i = 0; i < 200 && !ended(); ++i) {
            const struct timespec ten = {0, 10 * 1000 * 1000};
            nanosleep(&ten, nullptr);
        }
    }
    kill();
    tmr_cancel(&killTimer);
}
