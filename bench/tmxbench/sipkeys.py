"""tmx-sip's log keys (sip/logkey.h): a line that reports an outcome starts
"sip: [KEY name=value ...] ", then words that may change. The benchmark
waits on the key and its fields, never on the words."""

import re


def key(name, **fields):
    """A regular expression for a line of tmx-sip with key `name` and these
    fields in its bracket."""
    ahead = "".join(rf"(?=[^\]]* {re.escape(k)}={re.escape(str(v))}[ \]])" for k, v in fields.items())
    return rf"^sip: \[{re.escape(name)}{ahead}[ \]]"


def fields(line):
    """The fields of a keyed line as a dict (the key itself under "")."""
    m = re.match(r"^sip: \[([^\]]*)\]", line)
    if not m:
        return {}
    name, *pairs = m.group(1).split(" ")
    return dict([("", name)] + [tuple(p.split("=", 1)) for p in pairs if "=" in p])
