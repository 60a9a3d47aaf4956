#pragma once

#include <re.h>

#include <string>

// Where the other side of a call sends its requests from: the source of its
// 200 (a call we made) or of its INVITE (a call we took), and the outbound
// proxy when one is configured as an address. An INFO or re-INVITE of the
// dialog from anywhere else comes from a stranger who saw the dialog's
// identifiers, not from the phone.
class DialogPeer
{
public:
    explicit DialogPeer(const std::string &outboundProxy);

    void learn(const struct sa &source);
    bool known() const { return isKnown; }
    // Whether a request of the dialog from this source is the peer's.
    bool accepts(const struct sa &source) const;

private:
    struct sa peer;
    struct sa proxy;
    bool isKnown = false;
    bool haveProxy = false;
};
