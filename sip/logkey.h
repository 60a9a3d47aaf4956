#pragma once

// The stable keys of tmx-sip's log. A line that reports an outcome starts
// "sip: [KEY] " or "sip: [KEY name=value ...] ", then the words for people:
//     sip: [pin.right] apartment 0 call in 3 from sip:apt123@...: PIN right; ...
//     sip: [masks.loaded virtual=1 blacklisted=2] daemon: masks loaded: ...
// Tests, the benchmark and a user's grep of the journal read the bracket; the
// words after it may change. The fields are named in each key's line below.
// doc/tmx-sip.md lists the same keys for users. Lines without a key are plain
// diagnostics that nothing waits for.
struct LogKey {
    const char *name;
};

namespace logkey {

// tmx-sip and its daemon
inline constexpr LogKey started{"started"};                 // SIP listens, daemon started: transport= sip= pid=
inline constexpr LogKey stopping{"stopping"};               // a signal stops tmx-sip: signal=
inline constexpr LogKey memory{"memory"};                   // on SIGUSR1: heap= heap_free= fds=
inline constexpr LogKey daemonEnded{"daemon.ended"};        // the daemon ended: status= or signal=, restart_s=
inline constexpr LogKey daemonRestarted{"daemon.restarted"}; // the daemon started again: pid=
inline constexpr LogKey daemonFailed{"daemon.failed"};      // the daemon could not be started (restart_s= when retried)
inline constexpr LogKey daemonStuck{"daemon.stuck"};        // the daemon closed a pipe but runs on: closed=input|output
inline constexpr LogKey daemonKilled{"daemon.killed"};      // the daemon outlived SIGTERM: SIGKILL
inline constexpr LogKey masksLoaded{"masks.loaded"};        // the daemon took the masks: virtual= blacklisted=
inline constexpr LogKey masksFailed{"masks.failed"};        // the masks dialogue failed: the masks may not hold

// configuration
inline constexpr LogKey configWarning{"config.warning"};    // a configuration that works but needs a look
inline constexpr LogKey configRefused{"config.refused"};    // SIGHUP: the file is wrong, the running one stays
inline constexpr LogKey configReloaded{"config.reloaded"};  // SIGHUP: the file is read again

// door calls (the intercom rings an apartment's phones)
inline constexpr LogKey callNoUri{"call.no_uri"};           // no phone for the apartment: the intercom keeps ringing
inline constexpr LogKey callPlaced{"call.placed"};          // a phone is called
inline constexpr LogKey callProgress{"call.progress"};      // a phone's provisional answer: code=
inline constexpr LogKey callAnswered{"call.answered"};      // a phone answered
inline constexpr LogKey callAudio{"call.audio"};            // the audio of an answered call: peer= port= srtp=0|1
inline constexpr LogKey callFailed{"call.failed"};          // a phone cannot be called or its answer not connected
inline constexpr LogKey callBye{"call.bye"};                // tmx-sip hangs up an answered phone
inline constexpr LogKey callCancel{"call.cancel"};          // tmx-sip cancels a ringing phone
inline constexpr LogKey callEnded{"call.ended"};            // a phone's call ended (its BYE, a decline, no answer...)
inline constexpr LogKey callChallenged{"call.challenged"};  // a phone asked for a password it does not get: ended
inline constexpr LogKey callRevoked{"call.revoked"};        // SIGHUP took the phone out of its apartment: its call ends
inline constexpr LogKey callIgnored{"call.ignored"};        // the intercom dialled while a call is up
inline constexpr LogKey doorPickup{"door.pickup"};          // the daemon is told to take the door call
inline constexpr LogKey doorDrop{"door.drop"};              // the daemon is told to end the door call
inline constexpr LogKey doorOpen{"door.open"};              // the daemon is told to open a door: by=phone|pin|mqtt|ring_to_open door=
inline constexpr LogKey doorHeld{"door.held"};              // an open key came before the intercom reported the pickup: sent on its report
inline constexpr LogKey doorConfirmed{"door.confirmed"};    // the intercom reports the door open: confirmation tone
inline constexpr LogKey intercomPickup{"intercom.pickup"};  // the intercom reports the call taken (by tmx-sip)
inline constexpr LogKey intercomTaken{"intercom.taken"};    // the call was taken at the apartment's own handset
inline constexpr LogKey intercomEnded{"intercom.ended"};    // the intercom ended the door call
inline constexpr LogKey commandRefused{"command.refused"};  // a pickup, open or drop refused by the line's state
inline constexpr LogKey keyOpen{"key.open"};                // the open key from the phone in the door call: key=
inline constexpr LogKey keyPressed{"key.pressed"};          // another key from the phone in the door call: key=
inline constexpr LogKey keyRefused{"key.refused"};          // a key from a call that is not the answered one
inline constexpr LogKey keyEcho{"key.echo"};                // a key as a tone refused: the door's own audio had it
inline constexpr LogKey sipStranger{"sip.stranger"};        // an INFO or re-INVITE in a call's dialog from elsewhere: 403
inline constexpr LogKey rtpForeign{"rtp.foreign"};          // RTP from another address than the call's: ignored
inline constexpr LogKey srtpRefused{"srtp.refused"};        // packets that are not the call's SRTP: dropped
inline constexpr LogKey audioReport{"audio.report"};        // a call's audio at its end: min= mean= ... underruns= lost=
inline constexpr LogKey audioDisturbed{"audio.disturbed"};  // a stretch of a call's audio was disturbed

// calling in (a phone calls tmx-sip to open a door)
inline constexpr LogKey callinRefused{"callin.refused"};    // an incoming call refused: status= (or more= in a window)
inline constexpr LogKey callinAnswered{"callin.answered"};  // an allowed caller answered: srtp=0|1; the PIN is awaited
inline constexpr LogKey callinFailed{"callin.failed"};      // an incoming call without usable audio
inline constexpr LogKey callinHangup{"callin.hangup"};      // tmx-sip ends an incoming call (why in the words)
inline constexpr LogKey callinRevoked{"callin.revoked"};    // SIGHUP took the caller's right away: its call ends
inline constexpr LogKey callinPreempted{"callin.preempted"}; // a door call, or a caller before the ACK: the call ends
inline constexpr LogKey callinEnded{"callin.ended"};        // an incoming call ended
inline constexpr LogKey pinRight{"pin.right"};              // the PIN was right; the door digit is awaited
inline constexpr LogKey pinWrong{"pin.wrong"};              // a wrong PIN: the call ends
inline constexpr LogKey pinNoDoor{"pin.no_door"};           // the key after the PIN names no door: the call ends
inline constexpr LogKey pinTimeout{"pin.timeout"};          // no PIN or door digit in time: the call ends
inline constexpr LogKey pinLockout{"pin.lockout"};          // a caller locked out after wrong PINs: seconds=
inline constexpr LogKey pinBudget{"pin.budget"};            // too many wrong PINs: calling in closed for everyone

// the registrar
inline constexpr LogKey registered{"register.ok"};          // registered: aor= expires=
inline constexpr LogKey registerRefreshed{"register.refreshed"}; // the registration refreshed: aor= expires=
inline constexpr LogKey registerFailed{"register.failed"};  // registering failed: retry_s=
inline constexpr LogKey unregistering{"register.off"};      // the binding is withdrawn

// TLS
inline constexpr LogKey tlsRefused{"tls.refused"};          // a TLS peer refused: peer=caller|phone
inline constexpr LogKey tlsWarning{"tls.warning"};          // TLS works but is weaker than it should be

// MQTT and ring-to-open
inline constexpr LogKey mqttConnected{"mqtt.connected"};    // connected to the broker
inline constexpr LogKey mqttDown{"mqtt.down"};              // the broker is not reachable: retry_s=
inline constexpr LogKey mqttFailed{"mqtt.failed"};          // MQTT cannot be used
inline constexpr LogKey mqttIgnored{"mqtt.ignored"};        // a message on a command topic ignored: topic=
inline constexpr LogKey ringToOpenOn{"rto.on"};             // ring-to-open switched on: minutes=
inline constexpr LogKey ringToOpenOff{"rto.off"};           // ring-to-open switched off, or its time is over
inline constexpr LogKey ringToOpenWithdrawn{"rto.withdrawn"}; // off, or the apartment left it, before the pickup: no opening
inline constexpr LogKey ringToOpenTimeout{"rto.timeout"};   // the intercom did not answer a ring-to-open step

} // namespace logkey
