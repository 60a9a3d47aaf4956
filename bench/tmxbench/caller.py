"""The allowed caller of the flood condition: hand-built SIP from
127.0.0.1:5091 that calls tmx-sip, answers its challenge with the password
it knows, and times the answer (it needs the time to its 200 OK, which SIPp
does not give per call)."""

import hashlib
import re
import socket
import time

from .measure import now_ns

SIP_TMX = ("127.0.0.1", 5060)
LEGIT_PASSWORD = "legit-secret"


def sip_request(method, uri, user, port, branch, tag, call_id, cseq, to_tag="", extra="", body=""):
    return (f"{method} {uri} SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:{port};branch=z9hG4bK{branch}\r\n"
            f"Max-Forwards: 70\r\nFrom: <sip:{user}@127.0.0.1:{port}>;tag={tag}\r\n"
            f"To: <sip:intercom@127.0.0.1:5060>{';tag=' + to_tag if to_tag else ''}\r\n"
            f"Call-ID: {call_id}\r\nCSeq: {cseq} {method}\r\nContact: <sip:{user}@127.0.0.1:{port}>\r\n{extra}"
            f"Content-Length: {len(body)}\r\n\r\n{body}").encode()


def sdp_offer(rtp_port):
    body = ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
            f"m=audio {rtp_port} RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n")
    return "Content-Type: application/sdp\r\n", body


def sip_status(data):
    first = data.split(b"\r\n", 1)[0]
    return int(first.split()[1]) if first.startswith(b"SIP/2.0 ") else None


def sip_header(data, name):
    for line in data.split(b"\r\n"):
        k, _, v = line.partition(b":")
        if k.strip().lower() == name:
            return v.strip().decode(errors="replace")
    return ""


def digest_answer(challenge, user, password, uri, method="INVITE"):
    """An Authorization value answering a WWW-Authenticate challenge (qop=auth)."""

    def param(name):
        m = re.search(name + r'="([^"]*)"', challenge)
        return m.group(1) if m else ""

    def md5(text):
        return hashlib.md5(text.encode()).hexdigest()

    realm, nonce = param("realm"), param("nonce")
    ha1 = md5(f"{user}:{realm}:{password}")
    ha2 = md5(f"{method}:{uri}")
    response = md5(f"{ha1}:{nonce}:00000001:4a7c:auth:{ha2}")
    return (f'Digest username="{user}", realm="{realm}", nonce="{nonce}", uri="{uri}", '
            f'response="{response}", algorithm=MD5, qop=auth, nc=00000001, cnonce="4a7c"')


def replies(sock, wanted, seconds=5):
    """The datagrams that come to sock within seconds and that wanted takes."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            data = sock.recv(65535)
        except socket.timeout:
            continue
        if wanted(data):
            yield data


def legit_call(sock, n):
    """One call in from the allowed caller, who answers the challenge with
    its password: ms from its first INVITE to the 200 OK, or None."""
    extra, body = sdp_offer(40002)
    uri = "sip:intercom@127.0.0.1:5060"
    t0 = now_ns()
    cseq = 1
    sock.sendto(sip_request("INVITE", uri, "legit", 5091, f"l{n}", f"l{n}",
                            f"legit-{n}", cseq, extra=extra, body=body), SIP_TMX)
    ok = None
    for data in replies(sock, lambda d: sip_header(d, b"call-id") == f"legit-{n}"
                        and sip_header(d, b"cseq") == f"{cseq} INVITE"):
        code = sip_status(data)
        if code == 401 and cseq == 1:
            cseq = 2
            auth = digest_answer(sip_header(data, b"www-authenticate"), "legit", LEGIT_PASSWORD, uri)
            sock.sendto(sip_request("INVITE", uri, "legit", 5091, f"l{n}b", f"l{n}", f"legit-{n}", cseq,
                                    extra=extra + f"Authorization: {auth}\r\n", body=body), SIP_TMX)
            continue
        if code and code >= 200:
            ok = data if code == 200 else None
            took = now_ns() - t0
            break
    if ok is None:
        return None
    to_tag = sip_header(ok, b"to").partition(";tag=")[2]
    contact = sip_header(ok, b"contact").strip("<>").split(";")[0].split(">")[0]
    sock.sendto(sip_request("ACK", contact, "legit", 5091, f"la{n}", f"l{n}", f"legit-{n}", cseq, to_tag), SIP_TMX)
    sock.sendto(sip_request("BYE", contact, "legit", 5091, f"lb{n}", f"l{n}", f"legit-{n}", cseq + 1, to_tag),
                SIP_TMX)
    for _ in replies(sock, lambda d: sip_header(d, b"call-id") == f"legit-{n}"
                     and sip_header(d, b"cseq").endswith("BYE")):
        break
    return took

