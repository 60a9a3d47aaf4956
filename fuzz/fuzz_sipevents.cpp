// The daemon's standard output as tmx-sip reads it: any bytes, in pieces of
// any size, cut into lines (LineBuffer), each line read as an event
// (EventLine) and the others checked as answers of the dialplan dialogue
// (DialPlan).
//
// Input: the first byte sets the size of the pieces (1-64 bytes), the rest
// is the output. Checks: the lines and what is held give back the input,
// less one "\r" before each "\n" (unless a line too long was dropped), and
// what is held stays bounded; a line is an event (a call action in tmx-sip)
// only in the exact form the daemon writes it; the dialogue is done only
// after its ten answers in order.

#include "fuzzsupport.h"

#include "consolevocabulary.h"
#include "dialplan.h"
#include "eventline.h"
#include "linebuffer.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsupport::quietProcess();
    return 0;
}

namespace Words = ConsoleVocabulary;

// The only texts that carry a call action.
static void checkEvent(const std::string &text)
{
    const EventLine e = EventLine::parse(text);
    switch (e.kind) {
    case EventLine::Dial: {
        std::string canonical = std::string(Words::dial) + " " + std::to_string(e.apartment);
        if (e.door >= 0)
            canonical += " " + std::to_string(e.door);
        FUZZ_CHECK(text == canonical && e.apartment >= 0 && e.apartment <= 99999 && e.door <= 99999,
                   "'%s' read as a dial of %d from %d", text.c_str(), e.apartment, e.door);
        break;
    }
    case EventLine::Pickup:
        FUZZ_CHECK(text == Words::pickup, "'%s' read as pickup", text.c_str());
        break;
    case EventLine::Open:
        FUZZ_CHECK(text == Words::open, "'%s' read as open", text.c_str());
        break;
    case EventLine::Drop:
        FUZZ_CHECK(text == Words::drop, "'%s' read as drop", text.c_str());
        break;
    case EventLine::Message:
        FUZZ_CHECK(text.compare(0, Words::message.size() + 1, std::string(Words::message) + " ") == 0,
                   "'%s' read as a message", text.c_str());
        break;
    case EventLine::Other:
        break;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t piece = 1 + data[0] % 64;
    const char *out = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;

    LineBuffer buffer;
    DialPlan plan({}, {});
    const std::string output(out, length);
    size_t consumed = 0;                 // bytes of the output that the lines so far gave back
    std::vector<std::string> dialogue;   // the lines the dialogue took, from its first answer
    for (size_t at = 0; at < length; at += piece) {
        buffer.append(out + at, std::min(piece, length - at), [&](const std::string &line) {
            FUZZ_CHECK(line.size() <= LineBuffer::maxLine && line.find('\n') == std::string::npos,
                       "a line of %zu bytes", line.size());
            if (buffer.dropped() == 0) {
                // The output up to the next "\n", without one "\r" before it.
                const size_t nl = output.find('\n', consumed);
                FUZZ_CHECK(nl != std::string::npos, "a line that the output does not end");
                std::string expected = output.substr(consumed, nl - consumed);
                if (!expected.empty() && expected.back() == '\r')
                    expected.pop_back();
                FUZZ_CHECK(line == expected, "the line '%s' where the output had '%s'", line.c_str(),
                           expected.c_str());
                consumed = nl + 1;
            }
            checkEvent(line);
            if (EventLine::parse(line).kind != EventLine::Other || plan.state() != DialPlan::Waiting)
                return;
            const bool started = !dialogue.empty() || line == Words::dialplanAnswers[0];
            if (started)
                dialogue.push_back(line);
            if (plan.answer(line) == DialPlan::Done) {
                FUZZ_CHECK(dialogue.size() == Words::dialplanAnswerCount, "done after %zu answers",
                           dialogue.size());
                for (size_t i = 0; i < Words::dialplanAnswerCount; ++i)
                    FUZZ_CHECK(dialogue[i] == Words::dialplanAnswers[i], "answer %zu was '%s'", i,
                               dialogue[i].c_str());
            }
        });
        FUZZ_CHECK(buffer.pending() <= LineBuffer::maxLine, "%zu bytes held", buffer.pending());
    }
    if (plan.state() == DialPlan::Failed)
        FUZZ_CHECK(!plan.error().empty(), "failed without saying why");
    if (buffer.dropped() == 0)
        FUZZ_CHECK(consumed + buffer.pending() == length, "%zu bytes given back, %zu held of %zu", consumed,
                   buffer.pending(), length);
    return 0;
}
