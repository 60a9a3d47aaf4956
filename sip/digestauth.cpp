#include "digestauth.h"

#include <re.h>

#include <cerrno>

namespace {

struct Credentials
{
    char *user;
    char *password;
    unsigned perRound;
    unsigned asked;
    const struct sip_dialog *dialog;    // of the call watched, if any
    uint32_t firstCseq;                 // its first INVITE's
    uint32_t lastCseq;                  // the INVITE challenged last
    unsigned invitesChallenged;
    bool redirected;
};

void destroy(void *arg)
{
    Credentials *c = static_cast<Credentials *>(arg);
    mem_deref(c->user);
    mem_deref(c->password);
}

} // namespace

void *DigestAuth::create(const std::string &user, const std::string &password, unsigned answersPerRound)
{
    Credentials *c = static_cast<Credentials *>(mem_zalloc(sizeof(Credentials), destroy));
    if (!c)
        return nullptr;
    if (str_dup(&c->user, user.c_str()) || str_dup(&c->password, password.c_str()))
        return mem_deref(c);
    c->perRound = answersPerRound;
    return c;
}

int DigestAuth::handler(char **user, char **password, const char *realm, void *arg)
{
    (void)realm;
    Credentials *c = static_cast<Credentials *>(arg);
    if (!c)
        return EAUTH;
    // The INVITEs after the first were each sent again for a challenge we
    // answered; one more means one was sent for something else: a redirect.
    // libre asks for every challenge of a response, so one INVITE counts once.
    if (c->dialog && !sip_dialog_established(c->dialog)) {
        const uint32_t cseq = sip_dialog_lseq(c->dialog);
        if (cseq != c->lastCseq) {
            if (cseq - c->firstCseq > c->invitesChallenged)
                c->redirected = true;
            ++c->invitesChallenged;
            c->lastCseq = cseq;
        }
        if (c->redirected)
            return EAUTH;
    }
    ++c->asked;
    if (c->perRound && c->asked > c->perRound)
        return EAUTH;
    int err = str_dup(user, c->user);
    err |= str_dup(password, c->password);
    return err;
}

void DigestAuth::newRound(void *auth)
{
    if (auth)
        static_cast<Credentials *>(auth)->asked = 0;
}

void DigestAuth::watch(void *auth, const struct sip_dialog *dialog)
{
    Credentials *c = static_cast<Credentials *>(auth);
    if (!c || !dialog)
        return;
    c->dialog = dialog;
    c->firstCseq = sip_dialog_lseq(dialog);
    c->lastCseq = c->firstCseq - 1;     // no INVITE challenged yet
    c->invitesChallenged = 0;
}

bool DigestAuth::refusedRedirect(const void *auth)
{
    return auth && static_cast<const Credentials *>(auth)->redirected;
}

unsigned DigestAuth::asked(const void *auth)
{
    return auth ? static_cast<const Credentials *>(auth)->asked : 0;
}
