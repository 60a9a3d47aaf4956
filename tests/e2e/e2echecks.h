#ifndef E2ECHECKS_H
#define E2ECHECKS_H

#include <QString>

class E2ECase;

// What a finished case is checked for beyond its transcript, from the
// simulator's trace: every case gets checkFrames(); a case's telephony
// script declares further checks by name ("check whole-call").
namespace E2EChecks {

// Every frame the daemon wrote is a well-formed poll; message packets only
// in a case that checks messages.
void checkFrames(const E2ECase &c);

// Runs the named check; false when no check has that name.
bool run(const QString &name, const E2ECase &c);

}

#endif
