#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/: forms as browsers and
curl send them, and the edge cases of the unit tests, each wrapped in the
target's input layout (see the comment at the top of each *_fuzz.cpp).
Run it again after changing a layout; the fuzzers' own finds are not kept
here."""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
rnd = random.Random(7)


def part(boundary, headers, content):
    return (b"--" + boundary + b"\r\n" + b"".join(h + b"\r\n" for h in headers)
            + b"\r\n" + content + b"\r\n")


def close(boundary, epilogue=b"\r\n"):
    return b"--" + boundary + b"--" + epilogue


def field(boundary, name, value):
    return part(boundary, [b'Content-Disposition: form-data; name="' + name + b'"'], value)


def upload(boundary, name, filename, mime, content):
    return part(boundary, [b'Content-Disposition: form-data; name="' + name +
                           b'"; filename="' + filename + b'"',
                           b"Content-Type: " + mime], content)


def png(n):
    return b"\x89PNG\r\n\x1a\n" + bytes(rnd.randrange(256) for _ in range(n))


FIREFOX = b"---------------------------735323031399963166993862150"
CHROME = b"----WebKitFormBoundary7MA4YWxkTrZu0gW"
CURL = b"------------------------d74496d66958873e"

# (name, boundary, quoted, body, chunk, actions, length mode, delta)
walks = [
    ("firefox", FIREFOX, False,
     field(FIREFOX, b"text1", b"text default") +
     field(FIREFOX, b"text2", "a\u03c9b".encode()) +
     upload(FIREFOX, b"file1", b"a.txt", b"text/plain", b"Content of a.txt.\n") +
     upload(FIREFOX, b"file2", b"a.html", b"text/html",
            b"<!DOCTYPE html><title>Content of a.html.</title>\n") +
     close(FIREFOX), 4096, 0, 0, 0),
    ("chrome", CHROME, False,
     field(CHROME, b"title", b"holiday") +
     upload(CHROME, b"photo", b"C:\\Users\\x\\Pictures\\beach.png", b"image/png", png(300)) +
     upload(CHROME, b"empty", b"", b"application/octet-stream", b"") +
     close(CHROME), 7, 0x1B1B1B1B, 0, 0),
    ("curl", CURL, False,
     field(CURL, b"user", b"alice") +
     upload(CURL, b"data", b"report.csv", b"text/csv", b"a,b\r\n1,2\r\n") +
     close(CURL), 1, 0x55555555, 0, 0),
    ("edges-4096", b"XyZ", False,
     upload(b"XyZ", b"f", b"x.bin", b"application/octet-stream",
            b"\r" * 2000 + b"\r\n--XyZ"[:-1] + b"\n" * 2000 + b"\r\n--Xy" + b"z" * 80) +
     field(b"XyZ", b"after", b"--XyZ in content, \r\n-- too") +
     close(b"XyZ"), 4096, 0xAAAAAAAA, 0, 0),
    ("empty-boundary", b"", False,
     field(b"", b"a", b"1") + field(b"", b"b", b"") + close(b""), 3, 0, 0, 0),
    ("boundary-70", b"b" * 70, False,
     field(b"b" * 70, b"a", b"x" * 100) + close(b"b" * 70, b""), 64, 0, 0, 0),
    ("quoted", b'a"b\\c d:e', True,
     field(b'a"b\\c d:e', b"q", b"quoted boundary") + close(b'a"b\\c d:e'), 5, 0, 0, 0),
    ("headers", b"h", False,
     part(b"h", [b"content-disposition: form-data; name=lower; filename=x\\../../etc/passwd",
                 b"X-Ignored: yes", b"content-type: text/plain; charset=utf-8"], b"p") +
     part(b"h", [b"Content-Disposition: form-data; name=\"a\"",
                 b"Content-Disposition: form-data; name=\"b\""], b"dup") +
     part(b"h", [b"Content-Type: text/plain"], b"nodisp") +
     part(b"h", [b"Content-Disposition: form-data; filename=\"f\""], b"noname") +
     part(b"h", [b"Content-Disposition: form-data; name=\"n\"; filename=\"\""], b"emptyfile") +
     part(b"h", [b"Content-Disposition: form-data; name=\"n\"", b"Content-Type: "], b"nomime") +
     part(b"h", [b"Content-Disposition: form-data; name=\"d\"; filename=\"..\""], b"dots") +
     close(b"h", b"\r\nepilogue\r\n--h\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n"),
     4096, 0x00F000F0, 0, 0),
    ("bare-lf", b"L", False,
     b"--L\nContent-Disposition: form-data; name=\"a\"\n\nvalue\n--L--\n", 4096, 0, 0, 0),
    ("long-line", b"Q", False,
     part(b"Q", [b"X-Long: " + b"v" * 5000,
                 b'Content-Disposition: form-data; name="after"'], b"ok") + close(b"Q"),
     4096, 0, 0, 0),
    ("truncated", CURL, False,
     field(CURL, b"user", b"alice") +
     upload(CURL, b"data", b"big.bin", b"application/octet-stream", png(200))[:-40],
     4096, 0, 3, 20),
    ("short-length", b"S", False,
     field(b"S", b"a", b"complete") + field(b"S", b"b", b"cut here") + close(b"S"),
     2, 0, 2, 30),
    ("preamble", b"P", False, b"\r\n--P\r\n" + close(b"P"), 4096, 0, 0, 0),
]

for name, boundary, quoted, body, chunk, actions, mode, delta in walks:
    flags = (1 if quoted else 0) | (mode << 2)
    data = (bytes([len(boundary), flags, 0]) + struct.pack(">H", chunk - 1) +
            struct.pack("<I", actions) + bytes([delta]))
    if quoted:
        data += boundary  # the target keeps printable bytes as they are
    else:
        token = b"!#$%&'*+-.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ^_`abcdefghijklmnopqrstuvwxyz{|}~"
        data += bytes(token.index(c) for c in boundary)
    walks_dir = os.path.join(HERE, "corpus", "walk")
    os.makedirs(walks_dir, exist_ok=True)
    with open(os.path.join(walks_dir, name), "wb") as f:
        f.write(data + body)

headers = {
    "disposition": b"\x00Content-Disposition: form-data; name=\"file\"; filename=\"a b.txt\"\r\n",
    "windows-path": b"\x00Content-Disposition: form-data; name=f; filename=\"C:\\Users\\x\\a.txt\"\r\n",
    "escapes": b"\x00Content-Disposition: form-data; name=\"q\\\"uote\"; filename=\"back\\\\slash\"\r\n",
    "utf8": "\x00Content-Disposition: form-data; name=\"f\"; filename=\"\u00e9t\u00e9 \u65e5.txt\"\r\n".encode(),
    "spaces": b"\x00Content-Type :  text/plain ;charset = utf-8 ; ; format=flowed\n",
    "twice": b"\x00Content-Disposition: form-data; name=a; NAME=b\r\n",
    "unterminated": b"\x00Content-Disposition: form-data; name=\"a\r\n",
    "no-colon": b"\x00Content-Disposition form-data\r\n",
    "control": b"\x00Content-Type: text/plain\x01\r\n",
    # Quotes inside a quoted value, as older browsers send them.
    "inner-quotes": b"\x00Content-Disposition: form-data; name=\"upload\"; filename=\" ? % * | \" < > . &#9731; ; ' @ # $ ^ & ( ) - _ = + { } [ ] ` ~.txt\"\r\n",
    "extended": b"\x00Content-Disposition: form-data; name=\"doc\"; filename=\"EURO rates.txt\"; filename*=utf-8''%e2%82%ac%20rates.txt\r\n",
    "extended-latin1": b"\x00Content-Disposition: form-data; name*=ISO-8859-1'en'%A3\xe9; filename*=UTF-8''a%2Fb\r\n",
    "extended-bad": b"\x00X: v; a*=KOI8-R''x; a=p; b*=UTF-8'x; c*=UTF-8''%4G%00%0A; C*=x\r\n",
    # Found by the fuzzer: nothing after the colon once made an empty value
    # be copied from a null pointer.
    "empty-value": b"\x00Content-Type:\r\n",
    "ct-form": b"\x01multipart/form-data; boundary=----WebKitFormBoundary7MA4YWxkTrZu0gW",
    "ct-quoted": b"\x01multipart/form-data; charset=utf-8; boundary=\"a;b=c\\\\d\"; x=y",
    "ct-twice": b"\x01multipart/form-data; boundary=a; Boundary=b",
    "len-ok": b"\x0212345",
    "len-max64": b"\x0218446744073709551615",
    "len-over": b"\x024294967297000000000000000",
    "len-sign": b"\x02-1",
    "len-space": b"\x02 12",
}
hdir = os.path.join(HERE, "corpus", "header")
os.makedirs(hdir, exist_ok=True)
for name, data in headers.items():
    with open(os.path.join(hdir, name), "wb") as f:
        f.write(data)


def intake_seed(bufsize_byte, limit_byte, cap, eintr, m1, m2, ops, body):
    head = bytes([bufsize_byte, limit_byte, cap, eintr, len(m1) - 1, len(m2) - 1,
                  len(ops) - 1])
    return head + m1 + m2 + b"".join(bytes(op) for op in ops) + body


form = (field(b"XyZ", b"a", b"hello\r\n--XyZ-not\r\n--Xy") +
        upload(b"XyZ", b"f", b"x", b"text/plain", png(600)) + close(b"XyZ"))
# op kinds (first byte % 16): 0-1 peek, 2-5 line, 6-10 search match 1,
# 11-12 search match 2, 13 release, 14-15 init again.
walk_ops = [(0, 5), (2, 199), (2, 199), (2, 199), (6, 3), (6, 199), (11, 50),
            (2, 199), (2, 199), (2, 199), (2, 199), (6, 255), (6, 255), (6, 1),
            (6, 1), (11, 0), (0, 255), (2, 10), (14, 1), (2, 199), (13, 0), (2, 3)]
iseeds = {
    "form-4096": intake_seed(250, 0, 0, 0, b"\r\n--XyZ", b"--XyZ", walk_ops, form),
    "form-tiny-buffer": intake_seed(5, 0, 3, 2, b"\r\n--XyZ", b"--XyZ", walk_ops, form),
    "truncated": intake_seed(14, 3 | (9 << 2), 1, 0, b"abcab", b"\n", walk_ops,
                             b"xxabcaxabcabcab\nline\nabca"),
    "short-limit": intake_seed(40, 2 | (17 << 2), 0, 0, b"aaa", b"\r\n", walk_ops,
                               b"a" * 100 + b"\r\n" * 30),
    "nul-and-long": intake_seed(30, 0, 7, 0, b"\r\n", b"\x00x", walk_ops,
                                b"ab\x00c\n" + b"y" * 300 + b"\nz\n"),
    # A caller's buffer of a working buffer or more takes the reads itself:
    # short reads, matches and near-matches split across them.
    "direct-short-reads": intake_seed(14, 0, 5, 0, b"\r\n--XyZ", b"--XyZ",
                                      [(6, 16), (6, 40), (11, 16), (6, 17), (2, 199),
                                       (6, 199), (6, 16), (11, 255), (6, 30)] * 3,
                                      (b"ab\r\n--Xy" + b"\r\n--XyZ" + b"c\r\n-" +
                                       b"\r\r\n--XyZ--\r\n") * 8),
    "direct-4096": intake_seed(250, 0, 0, 0, b"\r\n--XyZ", b"--XyZ",
                               [(6, 243), (6, 243), (2, 199), (6, 243), (6, 243)],
                               png(4090) + b"\r\n--XyZ\r\n" + png(4075) +
                               b"\r\n--X" + png(40) + b"\r\n--XyZ"),
}
idir = os.path.join(HERE, "corpus", "intake")
os.makedirs(idir, exist_ok=True)
for name, data in iseeds.items():
    with open(os.path.join(idir, name), "wb") as f:
        f.write(data)
