#pragma once

#include "config.h"

#include <string>

struct tls;

// Our end of SIP over TLS: libre's TLS context with our certificate and its
// key, and with tls_ca the CA that signs every peer we talk to: the phone's
// server certificate when we call it, and a client certificate from every
// phone that connects to us (one without a certificate is refused). A
// certificate that fails is one line on standard error, and the connection
// never carries a SIP message. Without tls_ca nobody is verified.
class TlsContext
{
public:
    TlsContext() = default;
    ~TlsContext();
    TlsContext(const TlsContext &) = delete;
    TlsContext &operator=(const TlsContext &) = delete;

    // Reads tls_certificate, tls_key and tls_ca; on failure error names the
    // file and what is wrong with it.
    bool load(const Config &config, std::string &error);
    struct tls *get() const { return context; }
    // After load: what to say about the files that does not stop us (a key
    // everyone may read); empty when nothing.
    const std::string &warning() const { return note; }

private:
    struct tls *context = nullptr;
    std::string note;
};
