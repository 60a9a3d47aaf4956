"""The phone of the sip condition: answers one INVITE with SDP for PCMU,
sends numbered RTP packets and finds the numbers in what comes back; with
SRTP, it encrypts and authenticates them itself."""

import base64
import hashlib
import hmac
import os
import socket
import struct
import threading
import time

from .measure import now_ns

SIP_PHONE = ("127.0.0.1", 5062)
SIP_SYNC = bytes([0x90, 0xA0, 0xB0, 0x98, 0xA8, 0xB8, 0x94, 0xA4])
SIP_QUIET = 0xEF


def sip_payload(seq):
    digits = bytes(0xC0 | ((seq >> s) & 0xF) for s in (12, 8, 4, 0))
    body = SIP_SYNC + digits
    return body + bytes([SIP_QUIET]) * (160 - len(body))


class Srtp:
    """One direction of SRTP with AES_CM_128_HMAC_SHA1_80 (RFC 3711): key
    derivation, counter-mode encryption of the payload, the 80-bit tag. The
    phone's side of the encrypted call; AES is the cryptography package's
    (Debian's python3-cryptography)."""

    def __init__(self, master):
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
        self._cipher = lambda key, iv: Cipher(algorithms.AES(key), modes.CTR(iv)).encryptor()
        key, salt = master[:16], master[16:30]

        def derive(label, n):
            x = bytearray(salt)
            x[7] ^= label
            return self._cipher(key, bytes(x) + b"\0\0").update(bytes(n))

        self.k_e, self.k_a, self.k_s = derive(0, 16), derive(1, 20), derive(2, 14)
        self.roc = 0
        self.last = None

    def _keystream_xor(self, ssrc, index, payload):
        iv = int.from_bytes(self.k_s, "big") << 16 ^ ssrc << 64 ^ index << 16
        return self._cipher(self.k_e, iv.to_bytes(16, "big")).update(payload)

    def _tag(self, data, roc):
        return hmac.new(self.k_a, data + roc.to_bytes(4, "big"), hashlib.sha1).digest()[:10]

    def protect(self, packet):
        seq, ssrc = struct.unpack("!H4xI", packet[2:12])
        if self.last is not None and seq < self.last:
            self.roc += 1
        self.last = seq
        out = packet[:12] + self._keystream_xor(ssrc, (self.roc << 16) | seq, packet[12:])
        return out + self._tag(out, self.roc)

    def unprotect(self, packet):
        """The plain packet, or None when it fails authentication."""
        if len(packet) < 22:
            return None
        seq, ssrc = struct.unpack("!H4xI", packet[2:12])
        roc = self.roc
        if self.last is not None and seq < self.last and self.last - seq > 32768:
            roc += 1
        body, tag = packet[:-10], packet[-10:]
        if not hmac.compare_digest(self._tag(body, roc), tag):
            return None
        if self.last is None or roc > self.roc or seq > self.last:
            self.roc, self.last = roc, seq
        return body[:12] + self._keystream_xor(ssrc, (roc << 16) | seq, body[12:])


SRTP_SUITE = "AES_CM_128_HMAC_SHA1_80"


class SipPhone:
    """Answers one INVITE, plays numbered RTP, finds the numbers coming back;
    with srtp, over SRTP with keys exchanged in the SDP."""

    def __init__(self, srtp=False, clock=1.0):
        self.srtp = srtp
        self.clock = clock      # the phone's 8 kHz against ours: 1.001 sends 0.1 % fast
        self.tx = self.rx = None
        self.sip = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sip.bind(SIP_PHONE)
        self.rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rtp.bind(("127.0.0.1", 0))
        self.rtp.settimeout(0.2)
        self.invite = None
        self.peer_rtp = None
        self.sent = {}          # seq -> send ns
        self.latency = []
        self.stream = b""
        self.running = False
        self.established = threading.Event()
        self.failed = 0         # packets back that failed authentication

    @staticmethod
    def headers(msg):
        head = msg.split("\r\n\r\n", 1)[0].split("\r\n")
        out = {}
        for line in head[1:]:
            k, _, v = line.partition(":")
            out.setdefault(k.strip().lower(), []).append(v.strip())
        return head[0], out

    def answer(self):
        """Waits for the INVITE and answers 200 OK; returns once ACKed."""
        self.sip.settimeout(120)
        while True:
            data, addr = self.sip.recvfrom(65535)
            text = data.decode(errors="replace")
            first, h = self.headers(text)
            if first.startswith("INVITE "):
                break
        self.invite = (first, h, addr)
        body = text.split("\r\n\r\n", 1)[1]
        ip = [l[9:].strip() for l in body.split("\r\n") if l.startswith("c=IN IP4 ")][0]
        port = [int(l.split()[1]) for l in body.split("\r\n") if l.startswith("m=audio ")][0]
        self.peer_rtp = (ip, port)
        lport = self.rtp.getsockname()[1]
        crypto = ""
        if self.srtp:
            offered = [l.split(":", 1)[1].split() for l in body.split("\r\n") if l.startswith("a=crypto:")]
            tag, _, key = next(c for c in offered if c[1] == SRTP_SUITE)
            self.rx = Srtp(base64.b64decode(key[len("inline:"):].split("|")[0]))
            ours = os.urandom(30)
            self.tx = Srtp(ours)
            crypto = f"a=crypto:{tag} {SRTP_SUITE} inline:{base64.b64encode(ours).decode()}\r\n"
        sdp = ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
               f"m=audio {lport} RTP/{'SAVP' if self.srtp else 'AVP'} 0\r\na=rtpmap:0 PCMU/8000\r\na=ptime:20\r\n"
               + crypto)
        to = h["to"][0] + ";tag=bench1"
        self.to = to
        resp = ("SIP/2.0 200 OK\r\n" + "".join(f"Via: {v}\r\n" for v in h["via"]) +
                f"From: {h['from'][0]}\r\nTo: {to}\r\nCall-ID: {h['call-id'][0]}\r\n"
                f"CSeq: {h['cseq'][0]}\r\nContact: <sip:bench@{SIP_PHONE[0]}:{SIP_PHONE[1]}>\r\n"
                f"Content-Type: application/sdp\r\nContent-Length: {len(sdp)}\r\n\r\n{sdp}")
        self.sip.sendto(resp.encode(), addr)
        while True:
            data, _ = self.sip.recvfrom(65535)
            if data.startswith(b"ACK "):
                break
        self.established.set()

    def hang_up(self):
        first, h, addr = self.invite
        contact = h["contact"][0].strip("<>").split(";")[0]
        bye = (f"BYE {contact} SIP/2.0\r\nVia: SIP/2.0/UDP {SIP_PHONE[0]}:{SIP_PHONE[1]};branch=z9hG4bKbench2\r\n"
               f"From: {self.to}\r\nTo: {h['from'][0]}\r\nCall-ID: {h['call-id'][0]}\r\n"
               f"CSeq: 1 BYE\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n")
        self.sip.settimeout(5)
        self.sip.sendto(bye.encode(), addr)
        try:
            self.sip.recvfrom(65535)
        except socket.timeout:
            pass

    def play(self, seconds):
        self.running = True
        rx = threading.Thread(target=self._receive, daemon=True)
        rx.start()
        t0 = now_ns()
        seq = 0
        ssrc = 0x1234ABCD
        while now_ns() - t0 < seconds * 1e9:
            due = t0 + seq * 20_000_000 / self.clock
            wait = due - now_ns()
            if wait > 0:
                time.sleep(wait / 1e9)
            head = struct.pack("!BBHII", 0x80, 0, seq & 0xFFFF, (seq * 160) & 0xFFFFFFFF, ssrc)
            packet = head + sip_payload(seq & 0xFFFF)
            self.sent[seq] = now_ns()
            self.rtp.sendto(self.tx.protect(packet) if self.tx else packet, self.peer_rtp)
            seq += 1
        time.sleep(0.5)
        self.running = False
        rx.join()
        return seq

    def _receive(self):
        while self.running:
            try:
                data = self.rtp.recv(2048)
            except socket.timeout:
                continue
            t = now_ns()
            if self.rx:
                data = self.rx.unprotect(data)
                if data is None:
                    self.failed += 1
                    continue
            self.stream += data[12:]
            while True:
                i = self.stream.find(SIP_SYNC)
                if i < 0 or len(self.stream) < i + 12:
                    self.stream = self.stream[-11:] if i < 0 else self.stream[i:]
                    break
                d = self.stream[i + 8:i + 12]
                if all(0xC0 <= b <= 0xCF for b in d):
                    seq = sum((b & 0xF) << s for b, s in zip(d, (12, 8, 4, 0)))
                    if seq in self.sent:
                        self.latency.append(t - self.sent[seq])
                self.stream = self.stream[i + 12:]


