#include "eventline.h"

#include "consolevocabulary.h"

#include <cstdlib>

namespace {

// A plain decimal number of at most five digits as the daemon writes it (no
// sign, no leading zero), nothing else.
bool number(const std::string &s, int &value)
{
    if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos
        || (s[0] == '0' && s.size() > 1))
        return false;
    value = std::atoi(s.c_str());
    return true;
}

// Whether text starts with the word and a blank.
bool startsWith(const std::string &text, std::string_view word)
{
    return text.size() > word.size() && text.compare(0, word.size(), word) == 0 && text[word.size()] == ' ';
}

} // namespace

EventLine EventLine::parse(const std::string &text)
{
    namespace Words = ConsoleVocabulary;
    EventLine e;
    if (text == Words::pickup)
        e.kind = Pickup;
    else if (text == Words::open)
        e.kind = Open;
    else if (text == Words::drop)
        e.kind = Drop;
    else if (startsWith(text, Words::message))
        e.kind = Message;
    else if (startsWith(text, Words::dial)) {
        const std::string rest = text.substr(Words::dial.size() + 1);
        const size_t blank = rest.find(' ');
        int apartment = 0, door = 0;
        if (blank == std::string::npos) {
            if (number(rest, apartment)) {
                e.kind = Dial;
                e.apartment = apartment;
            }
        } else if (number(rest.substr(0, blank), apartment) && number(rest.substr(blank + 1), door)) {
            e.kind = Dial;
            e.apartment = apartment;
            e.door = door;
        }
    }
    return e;
}
