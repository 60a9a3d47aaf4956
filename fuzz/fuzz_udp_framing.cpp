// UDPread's framing of the application's audio: datagrams sent over loopback
// to a real UDPread on a private port (never the daemon's 20002-20004), its
// receive handler called by hand, and the frames it queues for the shield
// compared with a model of the stream.
//
// Input: a sequence of records, each led by an operation byte:
//   0  send one datagram; two bytes give its size (0..2699, so both sides of
//      the 2560-byte overflow limit are reached). Its contents come from a
//      running pattern, so every byte of the stream is told apart from its
//      neighbours.
//   1  call the receive handler, as one readyRead() would;
//   2  the SPI side takes up to 19 frames from the queue.
// At the end the handler runs until the socket is empty and the queue is
// drained.
//
// Invariants, after every handler call: every queued frame is 256 bytes; the
// bytes waiting for the next datagram are fewer than 256; the queue never
// holds more than UDPread::queueLimit frames; and the frames taken, in order,
// together with what waits equal the accepted stream (the datagrams not
// refused, joined in order) minus whole oldest frames dropped on arrival (a
// datagram's first frame finds at most target + 1 older frames waiting, the
// others the bound), as many as UDPread counts.

#include "fuzzsupport.h"

#include "delaycontroller.h"
#include "sound.h"
#include "udp/udpread.h"

#include <QElapsedTimer>
#include <QQueue>
#include <QUdpSocket>
#include <linux/sock_diag.h>
#include <memory>
#include <sys/socket.h>

#ifndef SO_MEMINFO
#define SO_MEMINFO 55
#endif

namespace {

const uint16_t firstPort = 28403;
uint16_t port = firstPort;
QUdpSocket *sender;
quint64 streamPos;

const int maxDatagramsWaiting = 8;  // well inside the socket's receive buffer

uint8_t pattern(quint64 pos)
{
    quint64 x = pos * 0x9E3779B97F4A7C15ull;
    return uint8_t(x >> 56 ^ x >> 29 ^ pos);
}

// Bytes the receive side holds (datagrams and their overhead); grows as soon
// as a datagram has been queued to the socket.
quint32 receiveMemory(int fd)
{
    quint32 info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0) {
        perror("fuzz: SO_MEMINFO");
        abort();
    }
    return info[SK_MEMINFO_RMEM_ALLOC];
}

struct Model {
    QQueue<QByteArray> datagrams;  // sent, still in the socket
    QByteArray waiting;
    QQueue<QByteArray> frames;
    quint64 dropped = 0;

    void handler()
    {
        while (!datagrams.isEmpty()) {
            const QByteArray d = datagrams.dequeue();
            if (waiting.size() + d.size() > UDPread::overflowLimit)
                return;  // refused, and the call ends
            waiting += d;
            int older = qMin(DelayController::defaultTarget + 1, UDPread::queueLimit - 1);
            while (waiting.size() >= Sound::frameSize) {
                while (frames.size() > older) {
                    frames.dequeue();
                    ++dropped;
                }
                frames.enqueue(waiting.left(Sound::frameSize));
                waiting.remove(0, Sound::frameSize);
                older = UDPread::queueLimit - 1;
            }
        }
    }
};

struct Harness {
    Sound sound;
    std::unique_ptr<UDPread> reader;
    int fd = -1;
    Model model;

    bool open()
    {
        fuzzsupport::QuietStderr quiet;
        for (int attempt = 0; attempt < 50; ++attempt) {
            reader.reset(new UDPread(nullptr, port, &sound));
            QUdpSocket *socket = reader->findChild<QUdpSocket *>();
            if (socket && socket->state() == QAbstractSocket::BoundState) {
                fd = int(socket->socketDescriptor());
                return true;
            }
            reader.reset();
            port = port == 28499 ? firstPort : port + 1;  // taken by someone else
        }
        return false;
    }

    void send(int size)
    {
        if (model.datagrams.size() >= maxDatagramsWaiting)
            handler();
        QByteArray d(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            d[i] = char(pattern(streamPos++));
        const quint32 before = receiveMemory(fd);
        const qint64 sent = sender->writeDatagram(d, QHostAddress(QHostAddress::LocalHost), port);
        FUZZ_CHECK(sent == size, "sent %lld of %d bytes", static_cast<long long>(sent), size);
        QElapsedTimer waited;
        waited.start();
        while (receiveMemory(fd) == before) {
            FUZZ_CHECK(waited.elapsed() < 10000, "a datagram of %d bytes never arrived", size);
            usleep(50);
        }
        model.datagrams.enqueue(d);
    }

    void handler()
    {
        {
            fuzzsupport::QuietStderr quiet;
            reader->writeBufUDP();
        }
        model.handler();
        const int queued = sound.dataToShieldBuffer.size();
        FUZZ_CHECK(reader->pendingBytes() < Sound::frameSize, "%d bytes waiting",
                   reader->pendingBytes());
        FUZZ_CHECK(reader->pendingBytes() == model.waiting.size(), "%d bytes waiting, expected %d",
                   reader->pendingBytes(), int(model.waiting.size()));
        FUZZ_CHECK(queued <= UDPread::queueLimit, "%d frames queued", queued);
        FUZZ_CHECK(queued == model.frames.size(), "%d frames queued, expected %d", queued,
                   int(model.frames.size()));
        FUZZ_CHECK(reader->framesDropped() == model.dropped, "%llu frames dropped, expected %llu",
                   static_cast<unsigned long long>(reader->framesDropped()),
                   static_cast<unsigned long long>(model.dropped));
    }

    void take(int n)
    {
        for (int i = 0; i < n && sound.dataToShieldBuffer.detect_data(); ++i) {
            const QByteArray frame = sound.dataToShieldBuffer.get_data();
            FUZZ_CHECK(frame.size() == Sound::frameSize, "frame of %d bytes", int(frame.size()));
            FUZZ_CHECK(!model.frames.isEmpty(), "a frame the stream does not hold");
            FUZZ_CHECK(frame == model.frames.dequeue(), "frame out of place in the stream");
        }
    }

    void finish()
    {
        while (!model.datagrams.isEmpty())
            handler();
        take(UDPread::queueLimit);
        FUZZ_CHECK(!sound.dataToShieldBuffer.detect_data() && model.frames.isEmpty(),
                   "frames left after draining");
        // The bytes still waiting are the head of the next frame.
        const int missing = Sound::frameSize - model.waiting.size();
        if (model.waiting.isEmpty())
            return;
        send(missing);
        handler();
        take(1);
        FUZZ_CHECK(reader->pendingBytes() == 0, "%d bytes waiting after a whole frame",
                   reader->pendingBytes());
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::quietProcess();
    fuzzsupport::application();
    sender = new QUdpSocket;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    Harness h;
    if (!h.open()) {
        fprintf(stderr, "fuzz: no free UDP port in %u-28499\n", unsigned(firstPort));
        abort();
    }
    streamPos = 0;
    while (!input.atEnd()) {
        switch (input.byte() % 3) {
        case 0:
            h.send(input.word() % 2700);
            break;
        case 1:
            h.handler();
            break;
        default:
            h.take(input.byte() % 20);
            break;
        }
    }
    h.finish();
    return 0;
}
