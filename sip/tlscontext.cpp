// libre's TLS context is OpenSSL's; what libre does not offer for SIP
// connections (verifying the peer of every connection, a key in a file of
// its own, saying which file is wrong) is set on that context directly.
#define USE_OPENSSL
#include "tlscontext.h"
#include "log.h"

#include <re.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

// Whether the last failure was a key that is not the certificate's; the
// queue of OpenSSL's errors emptied.
bool keyMismatch()
{
    unsigned long last = 0;
    for (unsigned long e; (e = ERR_get_error()) != 0;)
        last = e;
    return ERR_GET_LIB(last) == ERR_LIB_X509 && ERR_GET_REASON(last) == X509_R_KEY_VALUES_MISMATCH;
}

// A key protected by a pass phrase would be asked for on the terminal.
int noPassphrase(char *, int, int, void *)
{
    return -1;
}

// Called for each certificate of a peer's chain; a failure is said once,
// with the certificate's subject as the network gave it, escaped.
int verified(int ok, X509_STORE_CTX *store)
{
    if (ok)
        return ok;
    char subject[129] = "";
    if (X509 *cert = X509_STORE_CTX_get_current_cert(store))
        X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
    const SSL *ssl = static_cast<const SSL *>(
        X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    sipLog(logkey::tlsRefused, LogFields().add("peer", ssl && SSL_is_server(ssl) ? "caller" : "phone"),
           "TLS: %s certificate refused: %s (%s): no SIP over this connection",
           ssl && SSL_is_server(ssl) ? "a caller's" : "the phone's",
           X509_verify_cert_error_string(X509_STORE_CTX_get_error(store)), shown(std::string(subject)).c_str());
    return ok;
}

// A handshake we end for another reason than a certificate that failed
// (one already said): a caller without a certificate, a peer without a
// protocol version or cipher in common.
void alerted(const SSL *ssl, int where, int value)
{
    if (!(where & SSL_CB_WRITE_ALERT) || (value >> 8) != SSL3_AL_FATAL || SSL_get_verify_result(ssl) != X509_V_OK)
        return;
    sipLog(logkey::tlsRefused, LogFields().add("peer", SSL_is_server(ssl) ? "caller" : "phone"),
           "TLS: %s refused: %s: no SIP over this connection", SSL_is_server(ssl) ? "a caller" : "the phone",
           SSL_alert_desc_string_long(value));
}

} // namespace

TlsContext::~TlsContext()
{
    mem_deref(context);
}

bool TlsContext::load(const Config &config, std::string &error)
{
    context = static_cast<struct tls *>(mem_deref(context));
    note.clear();
    const std::string &keyFile = config.sip.tlsKey.empty() ? config.sip.tlsCertificate : config.sip.tlsKey;
    auto fail = [&error](const std::string &file, const std::string &what) {
        error = file + ": " + what;
        return false;
    };
    for (const std::string *file : {&config.sip.tlsCertificate, &keyFile, &config.sip.tlsCa}) {
        if (file->empty())
            continue;
        FILE *f = fopen(file->c_str(), "r");
        if (!f)
            return fail(*file, std::string("cannot read: ") + std::strerror(errno));
        fclose(f);
    }
    ERR_clear_error();
    int err = tls_alloc(&context, TLS_METHOD_SSLV23, nullptr, nullptr);
    if (err)
        return fail(config.sip.tlsCertificate, std::string("cannot set up TLS: ") + std::strerror(err));
    SSL_CTX *ctx = tls_openssl_context(context);
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_default_passwd_cb(ctx, noPassphrase);
    SSL_CTX_set_info_callback(ctx, alerted);
    if (SSL_CTX_use_certificate_chain_file(ctx, config.sip.tlsCertificate.c_str()) != 1)
        return fail(config.sip.tlsCertificate, "no PEM certificate in it");
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 && !keyMismatch())
        return fail(keyFile, std::string("no PEM key in it (one with a pass phrase is not read)")
                                 + (config.sip.tlsKey.empty() ? "; give the key in 'tls_key'" : ""));
    if (SSL_CTX_check_private_key(ctx) != 1)
        return fail(keyFile, "the key does not belong to the certificate in " + config.sip.tlsCertificate);
    if (!config.sip.tlsCa.empty()) {
        if (SSL_CTX_load_verify_locations(ctx, config.sip.tlsCa.c_str(), nullptr) != 1)
            return fail(config.sip.tlsCa, "no PEM CA certificate in it");
        // Both ways: the server's certificate when we connect, and a client
        // certificate, which is then required, when a phone connects.
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verified);
    }
    ERR_clear_error();
    struct stat st;
    if (stat(keyFile.c_str(), &st) == 0 && (st.st_mode & S_IROTH))
        note = keyFile + ": everyone may read this key: chmod o-r " + keyFile;
    return true;
}
