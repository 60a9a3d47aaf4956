#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Cuts what the daemon writes into lines. A line longer than maxLine (the
// daemon writes none) is dropped whole, so output that never ends a line
// cannot fill the memory.
class LineBuffer
{
public:
    static const size_t maxLine = 65536;
    using LineHandler = std::function<void(const std::string &line)>;

    // Appends bytes; each complete line goes to onLine, without its "\n"
    // or the "\r" before it.
    void append(const char *data, size_t size, const LineHandler &onLine);
    // Bytes of an unfinished line held.
    size_t pending() const { return partial.size(); }
    // Lines dropped for their length so far.
    unsigned dropped() const { return droppedLines; }

private:
    std::string partial;
    bool skipping = false;      // within an overlong line, until its end
    unsigned droppedLines = 0;
};
