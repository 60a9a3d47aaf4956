#include "ptyport.h"

#include "tracer.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPort::PtyPort(int gapMs, QObject *parent)
    : QObject(parent), idleTimer(new QTimer(this))
{
    idleTimer->setSingleShot(true);
    idleTimer->setTimerType(Qt::PreciseTimer);
    idleTimer->setInterval(gapMs);
    connect(idleTimer, &QTimer::timeout, this, &PtyPort::lineIdle);
}

PtyPort::~PtyPort()
{
    if (masterFd >= 0)
        ::close(masterFd);
    if (slaveFd >= 0)
        ::close(slaveFd);
}

bool PtyPort::open(QString *error)
{
    char name[128] = {};
    termios tio;
    memset(&tio, 0, sizeof tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    if (openpty(&masterFd, &slaveFd, name, &tio, nullptr) != 0) {
        *error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    // A daemon that stops reading must not block the simulator.
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    fcntl(masterFd, F_SETFD, FD_CLOEXEC);
    fcntl(slaveFd, F_SETFD, FD_CLOEXEC);
    slaveName = QString::fromLocal8Bit(name);

    notifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &PtyPort::readMaster);
    return true;
}

int PtyPort::write(const QByteArray &bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(masterFd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += int(n);
    }
    return done;
}

void PtyPort::readMaster()
{
    char chunk[4096];
    const ssize_t n = ::read(masterFd, chunk, sizeof chunk);
    if (n <= 0)
        return;
    const int64_t t = Tracer::now();
    if (rxBuffer.isEmpty())
        firstNs = t;
    lastNs = t;
    rxBuffer.append(chunk, int(n));
    idleTimer->start();
}

void PtyPort::lineIdle()
{
    const QByteArray packet = rxBuffer;
    rxBuffer.clear();
    if (!packet.isEmpty())
        emit packetReceived(packet, firstNs, lastNs);
}
