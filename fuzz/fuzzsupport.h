#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

// Shared by the fuzz targets: a reader over the fuzzer's input, an invariant
// check that turns a violation into a finding, and the process set-up that
// every target needs.

#include <QByteArray>
#include <QCoreApplication>
#include <QtGlobal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// A broken invariant is a finding: say which, then abort so that libFuzzer
// saves the input.
#define FUZZ_CHECK(cond, ...)                                                   \
    do {                                                                        \
        if (!(cond)) {                                                          \
            fprintf(stderr, "fuzz: invariant broken at %s:%d: %s\nfuzz: ",      \
                    __FILE__, __LINE__, #cond);                                 \
            fprintf(stderr, __VA_ARGS__);                                       \
            fprintf(stderr, "\n");                                              \
            abort();                                                            \
        }                                                                       \
    } while (0)

// Reads the input front to back; past its end every byte reads as 0.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size) : data(data), size(size) {}

    bool atEnd() const { return pos >= size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint16_t word() { return uint16_t(byte() << 8 | byte()); }
    QByteArray bytes(size_t n)
    {
        n = qMin(n, size - qMin(pos, size));
        QByteArray out(reinterpret_cast<const char *>(data + pos), int(n));
        pos += n;
        return out;
    }
    QByteArray rest() { return bytes(size); }

private:
    const uint8_t *data;
    size_t size;
    size_t pos = 0;
};

namespace fuzzsupport {

inline void quietMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

// The components log through qDebug and write events to standard output:
// keep both off the fuzzer's terminal. libFuzzer itself reports on stderr.
inline void quietProcess()
{
    qInstallMessageHandler(quietMessages);
    setvbuf(stdout, nullptr, _IONBF, 0);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        close(devNull);
    }
}

// Mutes the diagnostics that the code under test prints through stdio on
// standard error while it lives. Sanitizer reports write to the descriptor
// directly and still show.
class QuietStderr
{
public:
    QuietStderr()
    {
        static FILE *devNull = fopen("/dev/null", "w");
        saved = stderr;
        if (devNull)
            stderr = devNull;
    }
    ~QuietStderr() { stderr = saved; }

private:
    FILE *saved;
};

// Timers and sockets need an application object; its event loop never runs,
// so nothing fires unless a target calls it.
inline void application()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = new QCoreApplication(argc, argv);
    Q_UNUSED(app);
}

// Standard output sent to an in-memory file, so a target can read back the
// lines the code under test wrote.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        fd = memfd_create("fuzz-stdout", 0);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) {
            perror("fuzz: memfd for standard output");
            abort();
        }
    }

    // Forgets everything written so far.
    void reset()
    {
        fflush(stdout);
        if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0)
            abort();
        readPos = 0;
    }

    // What was written since the last reset() or take().
    QByteArray take()
    {
        fflush(stdout);
        const off_t end = lseek(STDOUT_FILENO, 0, SEEK_CUR);
        QByteArray out(int(end - readPos), Qt::Uninitialized);
        if (!out.isEmpty() && pread(fd, out.data(), size_t(out.size()), readPos) != out.size())
            abort();
        readPos = end;
        return out;
    }

private:
    int fd = -1;
    off_t readPos = 0;
};

}  // namespace fuzzsupport

#endif
