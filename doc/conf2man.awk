# tmx-sip.conf(5) from the example configuration:
#   awk -v version=VERSION -v out=FILE -f conf2man.awk tmx-sip.conf.example
# The example is made of blocks parted by blank lines. A block is comment
# text ("# ..."), then the lines of its keys: "key value", or "#key value"
# for a key left at the default shown. The first block is the page's
# description; each block with keys is one entry, its key lines the tag and
# its text the body; a block of text alone is a paragraph between entries.
# A line of another shape is kept as text, so that nothing of the example is
# lost from the page.

function emit(line) { print line > out }

# Text safe for roff: backslashes shown as such, no line taken for a request.
function roff(s) {
    gsub(/\\/, "\\e", s)
    if (s ~ /^[.']/)
        s = "\\&" s
    return s
}

# A key line as a tag: the key bold, its value as written; minus signs as
# such, so that a value copied from the page works.
function tag(line,    key, value) {
    key = line
    sub(/[ \t].*/, "", key)
    value = substr(line, length(key) + 1)
    sub(/^[ \t]+/, "", value)
    value = roff(value)
    gsub(/-/, "\\-", value)
    return "\\fB" roff(key) "\\fR" (value == "" ? "" : " " value)
}

function flush(    i) {
    if (nkeys == 0 && ntext == 0)
        return
    if (nkeys == 0) {
        if (!described) {
            emit(".SH DESCRIPTION")
            described = 1
        } else {
            emit(".PP")
        }
        for (i = 1; i <= ntext; i++)
            emit(text[i])
    } else {
        if (!keyed) {
            emit(".SH KEYS")
            emit("Each entry shows its keys as the example configuration, installed as")
            emit(".IR /etc/tmx-sip.conf ,")
            emit("has them.")
            keyed = 1
        }
        emit(".TP")
        emit(tag(keys[1]))
        for (i = 2; i <= nkeys; i++) {
            emit(".TQ")
            emit(tag(keys[i]))
        }
        for (i = 1; i <= ntext; i++)
            emit(text[i])
    }
    nkeys = ntext = 0
}

BEGIN {
    if (out == "")
        out = "/dev/stdout"
    emit(".\\\" Made from tmx-sip.conf.example by conf2man.awk; edit the example.")
    emit(".TH TMX-SIP.CONF 5 \"\" \"tmx " version "\" \"File formats\"")
    emit(".SH NAME")
    emit("tmx-sip.conf \\- configuration of tmx-sip")
    emit(".SH SYNOPSIS")
    emit("/etc/tmx-sip.conf")
}

/^[ \t]*$/ { flush(); next }

# A key, set or left at its default.
/^#?[a-z][a-z0-9_]*([ \t]|$)/ {
    line = $0
    sub(/^#/, "", line)
    keys[++nkeys] = line
    next
}

# Comment text; text after keys opens the next entry.
{
    if (nkeys > 0)
        flush()
    line = $0
    sub(/^#[ \t]?/, "", line)
    text[++ntext] = line ~ /^[ \t]*$/ ? ".sp" : roff(line)
}

END {
    flush()
    emit(".SH FILES")
    emit(".TP")
    emit(".I /etc/tmx-sip.conf")
    emit("the configuration read by the service tmx-sip.service")
    emit(".SH SEE ALSO")
    emit(".BR tmx-sip (8),")
    emit(".BR tmx-driver (8)")
}
