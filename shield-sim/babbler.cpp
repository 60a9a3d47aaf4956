#include "babbler.h"

#include "ptyport.h"
#include "tracer.h"

#include <ctime>

Babbler::Babbler(PtyPort *port, uint32_t seed)
    : port(port), random(seed)
{
}

Babbler::~Babbler()
{
    stop(true);
}

void Babbler::start(int ms)
{
    stop(true);
    stopping = false;
    written = 0;
    const int64_t endNs = Tracer::now() + int64_t(ms) * 1000000;
    thread = std::thread([this, endNs] { run(endNs); });
}

int64_t Babbler::stop(bool stopNow)
{
    if (stopNow)
        stopping = true;
    if (thread.joinable())
        thread.join();
    return written;
}

void Babbler::run(int64_t endNs)
{
    QByteArray chunk(chunkBytes, '\0');
    timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    while (!stopping && Tracer::now() < endNs) {
        for (char &c : chunk)
            c = char(random.bounded(0xF0));
        written += port->write(chunk);
        due.tv_nsec += periodUs * 1000;
        if (due.tv_nsec >= 1000000000) {
            due.tv_nsec -= 1000000000;
            ++due.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
    }
}
