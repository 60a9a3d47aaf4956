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

unsigned DigestAuth::asked(const void *auth)
{
    return auth ? static_cast<const Credentials *>(auth)->asked : 0;
}
