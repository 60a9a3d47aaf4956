/*
 * Runs a command in a network namespace of its own, with only a loopback
 * interface that is up:
 *
 *   netns-run COMMAND [ARGUMENT...]
 *   netns-run --probe          says which of the two modes below a run gets
 *
 * The daemon's UDP ports are fixed, so a test that binds them or starts the
 * daemon would meet any other daemon or test on the machine. In a namespace
 * of its own it meets none, and such tests can run in parallel.
 *
 * As root a plain network namespace is made; otherwise a user namespace that
 * maps the caller to root goes with it. Where neither is allowed, the command
 * runs in the machine's own network after taking an exclusive lock on
 * $TMX_PORTS_LOCK (default /tmp/tmx-driver-ports.lock), which its children
 * inherit, so such runs take turns instead.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

static int writeFile(const char *path, const char *text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = write(fd, text, strlen(text));
    close(fd);
    return n == (ssize_t)strlen(text) ? 0 : -1;
}

static int enterUserAndNetwork(void)
{
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return -1;
    char map[64];
    if (writeFile("/proc/self/setgroups", "deny") != 0 && errno != ENOENT)
        return -1;
    snprintf(map, sizeof map, "0 %u 1\n", (unsigned)uid);
    if (writeFile("/proc/self/uid_map", map) != 0)
        return -1;
    snprintf(map, sizeof map, "0 %u 1\n", (unsigned)gid);
    return writeFile("/proc/self/gid_map", map);
}

static int loopbackUp(void)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    int rc = ioctl(fd, SIOCGIFFLAGS, &ifr);
    if (rc == 0) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        rc = ioctl(fd, SIOCSIFFLAGS, &ifr);
    }
    close(fd);
    return rc;
}

/* 1 in a namespace of its own, 0 when none may be made. */
static int isolate(void)
{
    if (unshare(CLONE_NEWNET) != 0 && enterUserAndNetwork() != 0)
        return 0;
    if (loopbackUp() != 0) {
        perror("netns-run: cannot bring up the loopback interface");
        exit(125);
    }
    return 1;
}

static const char *lockPath(void)
{
    const char *path = getenv("TMX_PORTS_LOCK");
    return path && *path ? path : "/tmp/tmx-driver-ports.lock";
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: netns-run COMMAND [ARGUMENT...] | netns-run --probe\n");
        return 125;
    }
    int isolated = isolate();
    if (strcmp(argv[1], "--probe") == 0) {
        if (isolated)
            printf("each test that uses the daemon's ports runs in a network namespace of its own\n");
        else
            printf("network namespaces are not allowed here: tests that use the daemon's ports "
                   "take turns on the lock %s\n", lockPath());
        return 0;
    }
    if (!isolated) {
        /* No O_CLOEXEC: the command and its children hold the lock until they end. */
        int fd = open(lockPath(), O_RDWR | O_CREAT, 0666);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) {
            fprintf(stderr, "netns-run: cannot lock %s: %s\n", lockPath(), strerror(errno));
            return 125;
        }
    }
    execvp(argv[1], argv + 1);
    fprintf(stderr, "netns-run: cannot run %s: %s\n", argv[1], strerror(errno));
    return 127;
}
