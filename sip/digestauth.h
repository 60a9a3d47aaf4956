#pragma once

#include <string>

// User and password for the registrar's digest challenges, in a libre
// object: libre keeps it (aref = true) with the requests it sends on its own
// after their owner is gone (a BYE, an unregistration, may be challenged
// too). Pass handler and the object to sipsess_connect or sipreg_register,
// and mem_deref the object when done with it.
class DigestAuth
{
public:
    // answersPerRound: challenges answered until the next round; 0: any number.
    static void *create(const std::string &user, const std::string &password, unsigned answersPerRound = 0);
    static int handler(char **user, char **password, const char *realm, void *arg);
    // A new round (a new attempt): the count starts again.
    static void newRound(void *auth);
    // Challenges met in this round, answered or not.
    static unsigned asked(const void *auth);
    // For a call: libre follows a redirect (3xx) of the INVITE by itself,
    // to wherever its Contact says, and would answer a challenge from there
    // too. Watching the call's dialog, a challenge to an INVITE that was
    // sent again for anything but an answered challenge (a redirect) gets
    // no password, until the call is established.
    static void watch(void *auth, const struct sip_dialog *dialog);
    // A challenge went unanswered because the call had been redirected.
    static bool refusedRedirect(const void *auth);
};
