#include "dialogpeer.h"

DialogPeer::DialogPeer(const std::string &outboundProxy)
{
    sa_init(&peer, AF_UNSPEC);
    sa_init(&proxy, AF_UNSPEC);
    struct pl pl;
    struct uri uri;
    pl_set_str(&pl, outboundProxy.c_str());
    // A proxy given by name: its requests come from the address its
    // responses came from, which learn() takes.
    if (!outboundProxy.empty() && !uri_decode(&uri, &pl))
        haveProxy = sa_set(&proxy, &uri.host, uri.port ? uri.port : uint16_t(SIP_PORT)) == 0;
}

void DialogPeer::learn(const struct sa &source)
{
    peer = source;
    isKnown = true;
}

bool DialogPeer::accepts(const struct sa &source) const
{
    return (isKnown && sa_cmp(&source, &peer, SA_ALL)) || (haveProxy && sa_cmp(&source, &proxy, SA_ALL));
}
