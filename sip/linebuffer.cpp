#include "linebuffer.h"

#include <cstring>

void LineBuffer::append(const char *data, size_t size, const LineHandler &onLine)
{
    while (size) {
        const char *nl = static_cast<const char *>(std::memchr(data, '\n', size));
        const size_t take = nl ? size_t(nl - data) : size;
        if (!skipping && partial.size() + take > maxLine) {
            skipping = true;
            ++droppedLines;
            partial.clear();
        }
        if (!skipping)
            partial.append(data, take);
        data += take;
        size -= take;
        if (!nl)
            return;
        ++data;
        --size;
        if (skipping) {
            skipping = false;
            continue;
        }
        std::string line = std::move(partial);
        partial.clear();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        onLine(line);
    }
}
