"""The benchmark of tmx-driver and tmx-sip, one module per condition:
line (idle, loaded, drift), noisy, audio (audio-*), sipcall (sip), flood;
with the processes they run (processes), the traces they read (traces),
the SIP peers played here (phone, caller), figures (measure) and the
tables printed (report). bench/bench.py is the command line."""
