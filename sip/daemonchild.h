#pragma once

#include "linebuffer.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// The daemon as tmx-sip's child: its standard input and output are pipes to
// us, its standard error and environment are ours. Lines it writes arrive
// through onLine, from libre's main loop; onExit tells that it ended.
class DaemonChild
{
public:
    using LineHandler = std::function<void(const std::string &line)>;
    using ExitHandler = std::function<void(int status)>;

    DaemonChild(LineHandler onLine, ExitHandler onExit);
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
    // Ends the daemon at once (SIGKILL) and reaps it.
    void kill();
    // Ends the daemon and waits: SIGTERM, SIGKILL after a grace time.
    void stop();
    bool running() const { return child > 0; }
    pid_t pid() const { return child; }

private:
    static const size_t maxQueued = 65536;

    static void readable(int flags, void *arg);
    static void writable(int flags, void *arg);
    void readOutput();
    void flush();
    void closePipes();
    void reap();

    LineHandler onLine;
    ExitHandler onExit;
    pid_t child = -1;
    int toChild = -1;
    int fromChild = -1;
    LineBuffer lines;
    std::string queued;
    bool awaitingWrite = false;
};
