#pragma once

#include "linebuffer.h"

#include <re.h>

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// The daemon as tmx-sip's child: its standard input, output and error are
// pipes to us, its environment is ours, and it gets no other descriptor of
// ours. Lines it writes arrive through onLine, from libre's main loop; onExit
// tells that it ended. Its standard error goes on to ours line by line, as
// it wrote it, and each line to onErrorLine too (the daemon reports there
// the audio frames it dropped); read until it has ended, so that its last
// words are not lost.
//
// How its end is noticed, on the main loop and never by waiting for it:
//  - Its exit: SIGCHLD arrives through a signalfd of ours (SIGCHLD is blocked
//    for that), and waitpid(WNOHANG) tells whether it was the daemon. What it
//    wrote before is read, then onExit. A child of the daemon's that still
//    holds its output changes nothing.
//  - End of file on its output while it runs on: it can no longer tell us of
//    a call, so this is a failure; so is its input closed (a write fails with
//    EPIPE): it can no longer be told to open a door. After eofGraceMs (an
//    exit under way shows itself by then) we say so and end it: SIGTERM,
//    SIGKILL killGraceMs later. Its exit then comes by SIGCHLD and onExit is
//    called as for any other.
class DaemonChild
{
public:
    using LineHandler = std::function<void(const std::string &line)>;
    using ExitHandler = std::function<void(int status)>;

    DaemonChild(LineHandler onLine, ExitHandler onExit, LineHandler onErrorLine = LineHandler());
    ~DaemonChild();
    DaemonChild(const DaemonChild &) = delete;
    DaemonChild &operator=(const DaemonChild &) = delete;

    // argv[0] is the path. Returns 0 or an errno value.
    int start(const std::vector<std::string> &argv);
    // Queues one command line; what the pipe does not take at once follows
    // when it can. False when the daemon does not run or has stopped
    // reading for longer than its queue.
    bool write(const std::string &line);
    // Asks the daemon to end (closes its input, SIGTERM) without waiting;
    // onExit is not called for it. ended() then says when it is gone.
    void terminate();
    bool ended();
    // SIGKILL without waiting; onExit is not called for it.
    void kill();
    // For the way out, off the main loop: SIGTERM, SIGKILL after a grace time.
    void stop();
    bool running() const { return child > 0; }
    pid_t pid() const { return child; }

private:
    static const size_t maxQueued = 65536;
    static const uint64_t eofGraceMs = 1000;
    static const uint64_t killGraceMs = 2000;

    static void childSignalled(int flags, void *arg);
    static void readable(int flags, void *arg);
    static void writable(int flags, void *arg);
    static void eofGraceOver(void *arg);
    static void killDue(void *arg);
    int watchChildren();
    void checkExit();
    void exited(int status);
    static bool readLines(const int &fd, LineBuffer &buffer, const LineBuffer::LineHandler &handle);
    void readOutput();
    static void errorReadable(int flags, void *arg);
    void readErrors();
    void relayError(const std::string &line);
    void closeErrors();
    void outputClosed();
    void inputClosed();
    void flush();
    void closePipes();
    void closeInput();

    LineHandler onLine;
    ExitHandler onExit;
    LineHandler onErrorLine;
    pid_t child = -1;
    bool quiet = false;         // ended at our request: no onExit
    bool killed = false;        // SIGKILL sent
    int childSignals = -1;      // signalfd for SIGCHLD
    int toChild = -1;
    int fromChild = -1;
    int errorsFromChild = -1;
    LineBuffer lines;
    LineBuffer errorLines;
    std::string queued;
    bool awaitingWrite = false;
    const char *closedPipe = "output";    // which one the grace time is for
    struct tmr eofTimer;
    struct tmr killTimer;
};
