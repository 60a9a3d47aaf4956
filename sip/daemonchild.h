#pragma once

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
    // Writes one command line; false when the daemon does not take it.
    bool write(const std::string &line);
    // Ends the daemon: closes its input, SIGTERM, SIGKILL after a grace time.
    void stop();
    pid_t pid() const { return child; }

private:
    static void readable(int flags, void *arg);
    void readOutput();
    void reap();

    LineHandler onLine;
    ExitHandler onExit;
    pid_t child = -1;
    int toChild = -1;
    int fromChild = -1;
    std::string partial;
};
