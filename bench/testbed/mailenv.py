#!/usr/bin/python3
"""mailenv.py - a private, loopback-only POP3 + SMTP test bed.

Dovecot (POP3 on 127.0.0.1, plain + STLS and implicit TLS) serves a Maildir
seeded with realistic Japanese/Western mail; an aiosmtpd sink (SMTP with
STARTTLS and AUTH PLAIN/LOGIN, plus an optional LMTP port) stores every
message it receives under DIR/sink/.  Nothing is installed system-wide and
no system service is touched: every file lives under DIR.

Subcommands (see --help of each):
  up       create DIR, cert, dovecot.conf, seed mail, start dovecot + sink
  down     stop exactly the PIDs recorded by `up`
  seed     add more messages to the mailbox
  status   show whether the recorded processes are alive
  mark     print a JSON marker (dovecot log offset, sink count) to stdout
  measure  compare the present state with a marker: POP3 bytes, deliveries
  verify   check sink contents against the seeding manifest
  summarize  median table from a results.jsonl written by the bench scripts

Uses /usr/bin/python3 because Debian's python3-aiosmtpd lives there.
"""

import argparse
import base64
import datetime as dt
import email.headerregistry
import email.utils
import hashlib
import json
import os
import random
import re
import shutil
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
from email import policy as email_policy
from email.generator import BytesGenerator
from email.message import EmailMessage
from email.mime.multipart import MIMEMultipart
from email.mime.nonmultipart import MIMENonMultipart
from email.parser import BytesParser
from io import BytesIO

POP3_USER = "user@example.test"
POP3_PASS = "secret"
FORWARD_TO = "phone@example.test"
MAILBOX_REL = os.path.join("mail", POP3_USER)
JST = dt.timezone(dt.timedelta(hours=9))

# --------------------------------------------------------------------------
# small helpers


def die(msg, code=2):
    print("mailenv: " + msg, file=sys.stderr)
    sys.exit(code)


def read_json(path, default=None):
    try:
        with open(path, "r", encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        return default


def write_json(path, obj):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(obj, f, indent=1, sort_keys=True)
    os.replace(tmp, path)


def proc_start_time(pid):
    """Field 22 of /proc/PID/stat (start time in clock ticks), or None."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            data = f.read().decode("ascii", "replace")
    except OSError:
        return None
    rest = data[data.rindex(")") + 2:].split()
    if rest[0] == "Z":  # zombie: already dead, only waiting to be reaped
        return None
    return int(rest[19])


def proc_ppid(pid):
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            data = f.read().decode("ascii", "replace")
    except OSError:
        return None
    return int(data[data.rindex(")") + 2:].split()[1])


def same_process(rec):
    st = proc_start_time(rec["pid"])
    return st is not None and st == rec["start"]


def children_of(pid):
    out = []
    for name in os.listdir("/proc"):
        if name.isdigit() and proc_ppid(int(name)) == pid:
            st = proc_start_time(int(name))
            if st is not None:
                out.append({"name": "child", "pid": int(name), "start": st})
    return out


def port_free(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    # the servers set SO_REUSEADDR too, so TIME_WAIT leftovers do not count
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        s.bind(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def wait_port(port, deadline, proc=None):
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.settimeout(2)
                if s.recv(64):  # POP3 '+OK ...' / SMTP '220 ...'
                    return True
        except OSError:
            pass
        time.sleep(0.1)
    return False


def mail_ids():
    """uid/gid that Dovecot's mail processes run as.

    Dovecot refuses uid 0 for mail access ("userdb returned 0 as uid"), so as
    root we use nobody/nogroup; as an ordinary user, that user itself."""
    if os.geteuid() == 0:
        return 65534, 65534
    return os.getuid(), os.getgid()


# --------------------------------------------------------------------------
# message generation

JP_NAMES = ["山田 太郎", "佐藤 花子", "鈴木 一郎", "高橋 美咲", "田中 健",
            "株式会社サンプル 営業部", "渡辺 由美", "伊藤 誠"]
JP_SUBJECTS = ["会議の件について", "【重要】パスワード変更のお知らせ",
               "明日の打ち合わせ場所", "見積書送付のお願い", "請求書（４月分）",
               "出張報告書を提出します", "新製品発表会のご案内",
               "納期変更のご連絡", "お疲れさまです", "今週末の予定"]
JP_LINES = [
    "いつもお世話になっております。",
    "先日ご依頼いただいた件につきまして、下記のとおりご報告いたします。",
    "会議は来週火曜日の午後二時から、本社三階の第一会議室で行います。",
    "資料は事前に共有フォルダへ格納しておきますので、ご確認ください。",
    "ご不明な点がございましたら、お気軽にお問い合わせください。",
    "なお、当日は駐車場が大変混雑しますので公共交通機関をご利用ください。",
    "今回の変更に伴い、従来の手順は今月末をもって廃止となります。",
    "お手数をおかけしますが、何卒よろしくお願い申し上げます。",
    "東京都千代田区丸の内一丁目二番三号　サンプルビル十階",
    "電話：〇三−一二三四−五六七八（平日九時〜十八時）",
    "取り急ぎ、ご連絡まで。",
    "ＡＢＣ社との打ち合わせ結果は別紙のとおりです。金額は１２３，４５６円です。",
]
EN_LINES = [
    "Thanks for the quick turnaround on the quarterly numbers.",
    "The build server will be down for maintenance on Saturday night.",
    "Please review the attached draft before Thursday's call.",
    "Let me know if the new schedule works for your team.",
    "We shipped the fix in release 4.2.1; details are in the changelog.",
]
# Only in CP932 (Windows "Shift_JIS"), not in JIS X 0208: NEC row 13 and the
# FULLWIDTH TILDE that CP932 maps 0x8160 to.
CP932_ONLY = "①②③ ㈱ № ～"


def rfc2047(text, charset, codec=None, max_word=75):
    """Encode TEXT as RFC 2047 B-words, each a self-contained chunk."""
    codec = codec or charset
    words, chunk = [], ""
    for ch in text:
        cand = chunk + ch
        enc = "=?%s?B?%s?=" % (charset, base64.b64encode(
            cand.encode(codec)).decode("ascii"))
        if len(enc) > max_word and chunk:
            words.append("=?%s?B?%s?=" % (charset, base64.b64encode(
                chunk.encode(codec)).decode("ascii")))
            chunk = ch
        else:
            chunk = cand
    if chunk:
        words.append("=?%s?B?%s?=" % (charset, base64.b64encode(
            chunk.encode(codec)).decode("ascii")))
    return " ".join(words)


def _sjis_pair_to_jis(s1, s2):
    adj = 0x70 if s1 < 0xA0 else 0xB0
    if s2 < 0x9F:
        return (s1 - adj) * 2 - 1, s2 - (0x1F if s2 < 0x7F else 0x20)
    return (s1 - adj) * 2, s2 - 0x7E


def encode_cp50220(text):
    """ISO-2022-JP as Windows writes it (CP50220): CP932 double-byte codes
    shifted into ESC $ B, so NEC row 13 (①, ㈱) appears under ESC $ B.
    Python's iso2022_jp codec refuses those characters; real mail has them."""
    out, mode = bytearray(), "ascii"
    for ch in text:
        if ord(ch) < 0x80:
            if mode != "ascii":
                out += b"\x1b(B"
                mode = "ascii"
            out += ch.encode("ascii")
            continue
        b = ch.encode("cp932")
        if len(b) != 2:
            raise ValueError("half-width kana not representable: %r" % ch)
        j1, j2 = _sjis_pair_to_jis(b[0], b[1])
        if not (0x21 <= j1 <= 0x7E and 0x21 <= j2 <= 0x7E):
            raise ValueError("outside the 94x94 set: %r" % ch)
        if mode != "jis":
            out += b"\x1b$B"
            mode = "jis"
        out += bytes((j1, j2))
    if mode != "ascii":
        out += b"\x1b(B"
    return bytes(out)


class Gen:
    """Deterministic message factory: same (seed, index) -> same bytes."""

    KINDS = ["jis", "alt_utf8", "sjis", "received_heavy", "eucjp",
             "reply_quoted", "no_x", "jis_cp50220"]

    def __init__(self, seed, attach_kb, attach_every, domain="example.test"):
        self.seed = seed
        self.attach_kb = attach_kb
        self.attach_every = attach_every
        self.domain = domain

    def kind_for(self, i):
        if self.attach_every and i % self.attach_every == self.attach_every - 1:
            return "mixed_attach"
        n = i - (i // self.attach_every if self.attach_every else 0)
        return self.KINDS[n % len(self.KINDS)]

    # ---- pieces shared by all kinds
    def _rng(self, i):
        return random.Random("%s:%d" % (self.seed, i))

    def _date(self, i):
        base = dt.datetime(2024, 4, 1, 9, 0, 0, tzinfo=JST)
        return base + dt.timedelta(minutes=7 * i, seconds=i % 60)

    def _msgid(self, i, r):
        return "<%s.%06d.%08x@%s>" % (self._date(i).strftime("%Y%m%d%H%M%S"),
                                      i, r.getrandbits(32), "mx." + self.domain)

    def _received(self, i, r, count):
        hops = []
        when = self._date(i)
        for h in range(count):
            when = when - dt.timedelta(seconds=r.randint(0, 3))
            a = "192.0.2.%d" % r.randint(1, 254)
            hops.append(
                "from relay%d.provider-%d.example (relay%d.provider-%d.example"
                " [%s]) by mx%d.example.test (Postfix) with ESMTPS id %08X"
                " for <%s>; %s" % (h, count - h, h, count - h, a, h % 4,
                                      r.getrandbits(32), POP3_USER,
                                      email.utils.format_datetime(when)))
        return hops

    def _lines(self, r, pool, n):
        out = []
        for _ in range(n):
            out.append(r.choice(pool))
            if r.random() < 0.25:
                out.append("")
        return out

    def _trace(self, msg, i, r, n_received, x_headers=True, sender=None):
        """Headers a delivering MTA and the sender's MUA would have added."""
        hdrs = [("Return-Path", "<%s>" % (sender or "sender%d@%s" % (
            i % 7, "sender.example")))]
        hdrs += [("Delivered-To", POP3_USER)]
        hdrs += [("Received", v) for v in self._received(i, r, n_received)]
        xh = []
        if x_headers:
            xh += [("X-Mailer", r.choice(["Becky! ver. 2.81", "Thunderbird 115.9",
                                            "Microsoft Outlook 16.0"])),
                     ("X-Priority", "3"),
                     ("X-Originating-IP", "[198.51.100.%d]" % r.randint(1, 254)),
                     ("X-Spam-Status", "No, score=-0.%d required=5.0" % r.randint(0, 9))]
        # trace headers on top, then the originator's headers in MUA order
        rank = {"from": 0, "to": 1, "cc": 2, "subject": 3, "date": 4, "message-id": 5,
                "in-reply-to": 6, "references": 7, "mime-version": 20,
                "content-type": 21, "content-transfer-encoding": 22}
        existing = sorted(list(msg.items()) + xh,
                          key=lambda kv: rank.get(kv[0].lower(), 10))
        for k in list(msg.keys()):
            del msg[k]
        for k, v in hdrs + existing:
            msg[k] = v
        if msg.is_multipart():  # deterministic boundary (Python's is random)
            msg.set_boundary("----=_Part_%d_%010d.%d" % (i, r.getrandbits(30), i * 7 + 1))

    # ---- kinds
    def build(self, i):
        kind = self.kind_for(i)
        r = self._rng(i)
        m = getattr(self, "_k_" + kind)(i, r)
        return kind, m

    def _common(self, msg, i, r, subject_hdr, from_hdr, to=POP3_USER):
        msg["From"] = from_hdr
        msg["To"] = to
        msg["Subject"] = subject_hdr
        msg["Date"] = email.utils.format_datetime(self._date(i))
        msg["Message-ID"] = self._msgid(i, r)

    def _k_jis(self, i, r):  # (a) ISO-2022-JP text, RFC 2047 subject + name
        body = "\n".join(self._lines(r, JP_LINES, r.randint(4, 30))) + "\n"
        m = MIMENonMultipart("text", "plain", charset="ISO-2022-JP")
        m["Content-Transfer-Encoding"] = "7bit"
        m.set_payload(body.encode("iso2022_jp").decode("ascii"))
        name = r.choice(JP_NAMES)
        self._common(m, i, r, rfc2047(r.choice(JP_SUBJECTS), "ISO-2022-JP", "iso2022_jp"),
                     '%s <taro%d@sender.example>' % (rfc2047(name, "ISO-2022-JP", "iso2022_jp"), i))
        self._trace(m, i, r, r.randint(2, 5))
        return m

    def _k_jis_cp50220(self, i, r):  # (a') "ISO-2022-JP" that needs CP50220
        lines = self._lines(r, JP_LINES, r.randint(3, 12))
        lines.insert(1, "【ご注意】%s を含む機種依存文字の行です。" % CP932_ONLY)
        body = "\n".join(lines) + "\n"
        m = MIMENonMultipart("text", "plain", charset="ISO-2022-JP")
        m["Content-Transfer-Encoding"] = "7bit"
        m.set_payload(encode_cp50220(body).decode("ascii"))
        def cp50220_word(t):
            return "=?ISO-2022-JP?B?%s?=" % base64.b64encode(encode_cp50220(t)).decode("ascii")
        self._common(m, i, r, cp50220_word("①件目のご連絡（㈱サンプル）"),
                     "%s <info%d@sender.example>" % (cp50220_word("㈱サンプル 総務部"), i))
        self._trace(m, i, r, r.randint(2, 4))
        return m

    def _k_alt_utf8(self, i, r):  # (b) UTF-8 multipart/alternative
        lines = self._lines(r, JP_LINES + EN_LINES, r.randint(5, 25))
        text = "\n".join(lines) + "\n"
        html = "<html><body>%s</body></html>\n" % "".join(
            "<p>%s</p>\n" % (ln or "&nbsp;") for ln in lines)
        m = EmailMessage(policy=email_policy.default)
        m.set_content(text)
        m.add_alternative(html, subtype="html")
        self._common(m, i, r, "%s %s" % (r.choice(JP_SUBJECTS), "(HTML)"),
                     email.headerregistry.Address(r.choice(JP_NAMES), "hanako%d" % i,
                                                  "sender.example"))
        self._trace(m, i, r, r.randint(3, 6))
        return m

    def _attachment_bytes(self, r):
        return r.randbytes(self.attach_kb * 1024) if self.attach_kb > 0 else b""

    def _k_mixed_attach(self, i, r):  # (c) attachment, Japanese RFC 2231 name
        fname = r.choice(["見積書_2024年4月.pdf", "議事録（第3回）.pdf",
                          "写真 社員旅行.jpg", "請求書№123.pdf"])
        data = self._attachment_bytes(r)
        maintype, subtype = ("image", "jpeg") if fname.endswith(".jpg") else (
            "application", "pdf")
        body_lines = self._lines(r, JP_LINES, r.randint(3, 10))
        if i % 2 == 0:
            m = EmailMessage(policy=email_policy.default)
            m.set_content("\n".join(body_lines) + "\n")
            m.add_attachment(data, maintype=maintype, subtype=subtype,
                             filename=("utf-8", "", fname))
            self._common(m, i, r, "【添付】" + r.choice(JP_SUBJECTS),
                         email.headerregistry.Address(r.choice(JP_NAMES),
                                                      "att%d" % i, "sender.example"))
        else:  # the style of Japanese Windows MUAs: ISO-2022-JP everywhere
            fname = fname.replace("№", "No.")
            m = MIMEMultipart("mixed")
            t = MIMENonMultipart("text", "plain", charset="ISO-2022-JP")
            t["Content-Transfer-Encoding"] = "7bit"
            t.set_payload(("\n".join(body_lines) + "\n").encode("iso2022_jp").decode("ascii"))
            m.attach(t)
            a = MIMENonMultipart(maintype, subtype)
            a.set_param("name", rfc2047(fname, "ISO-2022-JP", "iso2022_jp"))
            a["Content-Transfer-Encoding"] = "base64"
            a["Content-Disposition"] = "attachment; filename*=iso-2022-jp''%s" % (
                "".join("%%%02X" % b if (b < 0x21 or b > 0x7E or chr(b) in "%'*()<>@,;:\\\"/[]?=")
                        else chr(b) for b in fname.encode("iso2022_jp")))
            a.set_payload(base64.encodebytes(data).decode("ascii"))
            m.attach(a)
            self._common(m, i, r, rfc2047("【添付】" + r.choice(JP_SUBJECTS), "ISO-2022-JP",
                                          "iso2022_jp"),
                         "%s <att%d@sender.example>" % (
                             rfc2047(r.choice(JP_NAMES), "ISO-2022-JP", "iso2022_jp"), i))
        self._trace(m, i, r, r.randint(3, 8))
        return m

    def _legacy_jp(self, i, r, charset, codec, cte, extra=""):
        lines = self._lines(r, JP_LINES, r.randint(4, 20))
        if extra:
            lines.insert(2, extra)
        body = ("\n".join(lines) + "\n").encode(codec)
        m = MIMENonMultipart("text", "plain", charset=charset)
        m["Content-Transfer-Encoding"] = cte
        if cte == "base64":
            m.set_payload(base64.encodebytes(body).decode("ascii"))
        else:  # raw 8bit bytes; BytesGenerator writes surrogates back as bytes
            m.set_payload(body.decode("ascii", "surrogateescape"))
        self._common(m, i, r, rfc2047(r.choice(JP_SUBJECTS), charset, codec),
                     "%s <legacy%d@sender.example>" % (
                         rfc2047(r.choice(JP_NAMES), charset, codec), i))
        self._trace(m, i, r, r.randint(2, 5))
        return m

    def _k_sjis(self, i, r):  # (d) Shift_JIS, 8bit, with CP932-only chars
        return self._legacy_jp(i, r, "Shift_JIS", "cp932", "8bit",
                               extra="ｶﾀｶﾅ（半角）と%sを含む行" % CP932_ONLY)

    def _k_eucjp(self, i, r):  # (d) EUC-JP, base64
        return self._legacy_jp(i, r, "EUC-JP", "euc_jp", "base64")

    def _k_received_heavy(self, i, r):  # (e) provider mail with 25+ hops
        lines = self._lines(r, EN_LINES + JP_LINES, r.randint(10, 40))
        m = EmailMessage(policy=email_policy.default)
        m.set_content("\n".join(lines) + "\n", cte="quoted-printable")
        self._common(m, i, r, "ニュースレター 第%d号" % i,
                     email.headerregistry.Address("Provider News", "news",
                                                  "provider.example"))
        m["List-Unsubscribe"] = "<mailto:unsubscribe@provider.example?subject=%d>" % i
        m["DKIM-Signature"] = ("v=1; a=rsa-sha256; c=relaxed/relaxed; d=provider.example;"
                               " s=sel1; h=from:to:subject:date:message-id; bh=%s; b=%s" % (
                                   base64.b64encode(r.randbytes(32)).decode(),
                                   base64.b64encode(r.randbytes(256)).decode()))
        m["ARC-Seal"] = "i=1; a=rsa-sha256; t=1711929600; cv=none; d=provider.example; b=%s" % (
            base64.b64encode(r.randbytes(256)).decode())
        m["Authentication-Results"] = ("mx.example.test; dkim=pass header.d=provider.example;"
                                       " spf=pass smtp.mailfrom=provider.example")
        self._trace(m, i, r, r.randint(25, 34))
        return m

    def _k_no_x(self, i, r):  # (f) no X- headers at all
        m = EmailMessage(policy=email_policy.default)
        m.set_content("\n".join(self._lines(r, EN_LINES, r.randint(2, 8))) + "\n")
        self._common(m, i, r, "plain note %d" % i,
                     "Plain Sender <plain%d@sender.example>" % i)
        self._trace(m, i, r, 2, x_headers=False)
        assert not any(k.lower().startswith("x-") for k in m.keys())
        return m

    def _k_reply_quoted(self, i, r):  # (g) quoted reply, '>' and '＞'
        own = self._lines(r, JP_LINES, r.randint(2, 5))
        quoted = self._lines(r, JP_LINES, r.randint(3, 9))
        lines = own + ["", "%s さんは書きました:" % r.choice(JP_NAMES)]
        for j, q in enumerate(quoted):
            lines.append(("> " if j % 2 == 0 else "＞ ") + q if q else ">")
        lines += [">> 二重引用の行です。", ">", "", ".先頭がドットの行（ドット詰めの確認）",
                  "From the desk of the sender (mbox From_ line look-alike)", "",
                  "-- ", "署名　山田"]
        m = MIMENonMultipart("text", "plain", charset="ISO-2022-JP")
        m["Content-Transfer-Encoding"] = "7bit"
        m.set_payload(("\n".join(lines) + "\n").encode("iso2022_jp").decode("ascii"))
        self._common(m, i, r, rfc2047("Re: " + r.choice(JP_SUBJECTS), "ISO-2022-JP",
                                      "iso2022_jp"),
                     "%s <reply%d@sender.example>" % (
                         rfc2047(r.choice(JP_NAMES), "ISO-2022-JP", "iso2022_jp"), i))
        m["In-Reply-To"] = "<prev.%06d@mx.example.test>" % i
        m["References"] = "<root.%06d@mx.example.test> <prev.%06d@mx.example.test>" % (i, i)
        self._trace(m, i, r, r.randint(2, 5))
        return m


def serialize(msg):
    buf = BytesIO()
    if isinstance(msg, EmailMessage):
        pol = email_policy.default.clone(linesep="\n")
    else:
        pol = email_policy.compat32.clone(linesep="\n")
    BytesGenerator(buf, mangle_from_=False, policy=pol).flatten(msg)
    data = buf.getvalue()
    assert b"\r" not in data
    return data


def body_digest(raw):
    """sha256 of the body (after the header/body blank line), line ends and
    trailing blank lines normalised, so LF maildir files and CRLF sink files
    compare equal when the client forwarded the body untouched."""
    raw = raw.replace(b"\r\n", b"\n")
    cut = raw.find(b"\n\n")
    body = raw[cut + 2:] if cut >= 0 else b""
    return hashlib.sha256(body.rstrip(b"\n")).hexdigest()


def header_value(raw, name):
    msg = BytesParser(policy=email_policy.compat32).parsebytes(raw, headersonly=True)
    v = msg.get(name)
    return str(v).strip() if v is not None else None


def seed_messages(d, count, attach_kb, attach_every, seed):
    st = read_json(os.path.join(d, "seed.json"), {"next": 0})
    gen = Gen(seed, attach_kb, attach_every)
    box = os.path.join(d, MAILBOX_REL)
    for sub in ("tmp", "new", "cur"):
        os.makedirs(os.path.join(box, sub), exist_ok=True)
    uid, gid = mail_ids()
    manifest = []
    now = int(time.time())
    for i in range(st["next"], st["next"] + count):
        kind, msg = gen.build(i)
        data = serialize(msg)
        wsize = len(data) + data.count(b"\n")
        name = "%d.M%06dP%dQ%d.mailenv,S=%d,W=%d" % (now, i % 1000000, os.getpid(),
                                                     i, len(data), wsize)
        tmp = os.path.join(box, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(data)
        os.chown(tmp, uid, gid)
        os.rename(tmp, os.path.join(box, "new", name))
        manifest.append({"index": i, "kind": kind, "file": name, "size": len(data),
                         "message_id": header_value(data, "Message-ID"),
                         "body_sha256": body_digest(data)})
    with open(os.path.join(d, "manifest.jsonl"), "a", encoding="utf-8") as f:
        for rec in manifest:
            f.write(json.dumps(rec, sort_keys=True) + "\n")
    st["next"] += count
    write_json(os.path.join(d, "seed.json"), st)
    for root, dirs, files in os.walk(os.path.join(d, "mail")):
        os.chown(root, uid, gid)
    return manifest


# --------------------------------------------------------------------------
# dovecot

DOVECOT_CONF = """\
# Generated by mailenv.py - a private Dovecot instance; reads nothing in /etc/dovecot.
instance_name = {instance}
protocols = pop3
listen = 127.0.0.1
base_dir = {base_dir}
state_dir = {d}/dovecot-state
log_path = {d}/log/dovecot.log
# Dovecot's auth/config helpers may run as root here; login processes may not
# ("This process must not be run as root"), so they get an unprivileged user.
default_internal_user = {internal_user}
default_internal_group = {internal_group}
default_login_user = {login_user}
mail_location = maildir:{d}/mail/%u
ssl = yes
ssl_cert = <{d}/tls/cert.pem
ssl_key = <{d}/tls/key.pem
# plaintext USER/PASS is what the clients under test use on loopback
disable_plaintext_auth = no
auth_mechanisms = {auth_mechs}
# %i / %o = bytes read from / written to the client in the mail session
pop3_logout_format = in=%i out=%o top=%t/%p retr=%r/%b del=%d/%m size=%s
pop3_uidl_format = %08Xv%08Xu
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {d}/passwd
}}
# uid 0 is refused for mail access, so the mailbox belongs to uid {uid}
userdb {{
  driver = static
  args = uid={uid} gid={gid} home={d}/mail/%u
}}
{anvil}service pop3-login {{
{chroot}  inet_listener pop3 {{
    port = {pop3_port}
  }}
  inet_listener pop3s {{
    port = {pop3s_port}
    ssl = yes
  }}
}}
"""


def make_cert(d):
    tls = os.path.join(d, "tls")
    os.makedirs(tls, exist_ok=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                    "-keyout", os.path.join(tls, "key.pem"),
                    "-out", os.path.join(tls, "cert.pem"), "-days", "30",
                    "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.chmod(os.path.join(tls, "key.pem"), 0o600)


def check_traversable(d, uid):
    """The mail processes run as UID, so every directory above D needs o+x."""
    if uid == os.getuid():
        return
    p = os.path.abspath(d)
    while True:
        st = os.stat(p)
        if not (st.st_mode & 0o001) and st.st_uid != uid:
            die("%s is not searchable by uid %d (mode %o); Dovecot's mail process "
                "could not reach the Maildir. chmod o+x it or use another --dir"
                % (p, uid, st.st_mode & 0o777))
        if p == "/":
            return
        p = os.path.dirname(p)


def cmd_up(a):
    d = os.path.abspath(a.dir)
    if os.path.exists(os.path.join(d, "pids.json")):
        recs = read_json(os.path.join(d, "pids.json"), [])
        if any(same_process(x) for x in recs):
            die("%s is already up (run `down` first)" % d)
    ports = [a.pop3_port, a.pop3s_port, a.smtp_port] + ([a.lmtp_port] if a.lmtp_port else [])
    if len(set(ports)) != len(ports):
        die("ports must differ: %s" % ports)
    busy = [p for p in ports if not port_free(p)]
    if busy:
        die("port(s) already in use on 127.0.0.1: %s" % busy)
    for sub in ("sink", "log", "dovecot-state", "mail"):
        os.makedirs(os.path.join(d, sub), exist_ok=True)
    os.chmod(d, 0o755)
    uid, gid = mail_ids()
    check_traversable(d, uid)
    make_cert(d)
    with open(os.path.join(d, "passwd"), "w") as f:
        f.write("%s:{PLAIN}%s::::::\n" % (POP3_USER, POP3_PASS))
    os.chmod(os.path.join(d, "passwd"), 0o600)
    # Unix socket paths are limited to 107 bytes; Dovecot's longest socket
    # name below base_dir is ~30 bytes, so keep base_dir short.
    base_dir = os.path.join(d, "run")
    private_base = None
    if len(base_dir) > 70:
        private_base = tempfile.mkdtemp(prefix="mailenv-", dir="/tmp")
        base_dir = private_base
    os.makedirs(base_dir, exist_ok=True)
    os.chmod(base_dir, 0o755)
    instance = "mailenv-%s" % hashlib.sha1(d.encode()).hexdigest()[:8]
    if os.geteuid() == 0:
        internal_user, internal_group, login_user, chroot = "root", "root", a.login_user, ""
    else:  # unprivileged: every Dovecot process runs as this user, no chroot
        import grp
        import pwd
        me = pwd.getpwuid(os.getuid()).pw_name
        internal_user, internal_group, login_user, chroot = (
            me, grp.getgrgid(os.getgid()).gr_name, me, "  chroot =\n")
    conf = DOVECOT_CONF.format(instance=instance, base_dir=base_dir, d=d, uid=uid,
                               gid=gid, internal_user=internal_user,
                               internal_group=internal_group,
                               anvil="service anvil {\n  chroot =\n}\n" if chroot else "",
                               login_user=login_user, chroot=chroot,
                               pop3_port=a.pop3_port, pop3s_port=a.pop3s_port,
                               auth_mechs=a.auth_mechs)
    conf_path = os.path.join(d, "dovecot.conf")
    with open(conf_path, "w") as f:
        f.write(conf)
    seed_messages(d, a.messages, a.attach_kb, a.attach_every, a.seed)
    write_json(os.path.join(d, "env.json"), {
        "dir": d, "pop3_port": a.pop3_port, "pop3s_port": a.pop3s_port,
        "smtp_port": a.smtp_port, "lmtp_port": a.lmtp_port, "user": POP3_USER,
        "password": POP3_PASS, "forward_to": FORWARD_TO,
        "ca_cert": os.path.join(d, "tls", "cert.pem"), "base_dir": base_dir,
        "private_base_dir": private_base, "instance": instance,
        "seed": a.seed, "attach_kb": a.attach_kb, "attach_every": a.attach_every,
        "new": a.new})

    recs = []
    deadline = time.monotonic() + 20
    dv = subprocess.Popen(["dovecot", "-c", conf_path, "-F"], stdin=subprocess.DEVNULL,
                          stdout=open(os.path.join(d, "log", "dovecot.stderr"), "ab"),
                          stderr=subprocess.STDOUT, start_new_session=True)
    recs.append({"name": "dovecot", "pid": dv.pid, "start": proc_start_time(dv.pid)})
    sink_cmd = [sink_python(), os.path.abspath(__file__), "_sink", "--dir", d,
                "--smtp-port", str(a.smtp_port), "--lmtp-port", str(a.lmtp_port or 0),
                "--tempfail-every", str(a.tempfail_every)]
    sk = subprocess.Popen(sink_cmd, stdin=subprocess.DEVNULL,
                          stdout=open(os.path.join(d, "log", "sink.log"), "ab"),
                          stderr=subprocess.STDOUT, start_new_session=True)
    recs.append({"name": "sink", "pid": sk.pid, "start": proc_start_time(sk.pid)})
    write_json(os.path.join(d, "pids.json"), recs)
    ok = all(wait_port(p, deadline, dv if p in (a.pop3_port, a.pop3s_port) else sk)
             for p in ports if p != a.pop3s_port)
    if ok:  # pop3s greets only after the TLS handshake
        ok = wait_tls(a.pop3s_port, deadline)
    if not ok:
        print("mailenv: start-up failed; log tails follow", file=sys.stderr)
        for name in ("dovecot.stderr", "dovecot.log", "sink.log"):
            p = os.path.join(d, "log", name)
            if os.path.exists(p):
                with open(p, errors="replace") as f:
                    sys.stderr.write("--- %s\n%s\n" % (name, f.read()[-3000:]))
        stop_recorded(d)
        sys.exit(1)
    print(json.dumps(read_json(os.path.join(d, "env.json")), indent=1))


def sink_python():
    """An interpreter that has aiosmtpd (Debian's lives in /usr/bin/python3,
    which may not be the python3 first on PATH)."""
    try:
        import aiosmtpd  # noqa: F401
        return sys.executable
    except ImportError:
        pass
    if os.path.exists("/usr/bin/python3"):
        return "/usr/bin/python3"
    die("aiosmtpd not found: apt-get install python3-aiosmtpd")


def wait_tls(port, deadline):
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
                with ctx.wrap_socket(s) as t:
                    if t.recv(64).startswith(b"+OK"):
                        return True
        except OSError:
            pass
        time.sleep(0.1)
    return False


def stop_recorded(d, timeout=15):
    recs = read_json(os.path.join(d, "pids.json"), [])
    alive = [x for x in recs if same_process(x)]
    # remember dovecot's children so that none outlives a killed master
    extra = []
    for x in alive:
        if x["name"] == "dovecot":
            extra += children_of(x["pid"])
    for x in alive:
        try:
            os.kill(x["pid"], signal.SIGTERM)
        except ProcessLookupError:
            pass
    # the master exits before all of its children have; give both time
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and any(same_process(x) for x in alive + extra):
        time.sleep(0.1)
    for x in alive + extra:
        if same_process(x):
            try:
                with open("/proc/%d/cmdline" % x["pid"], "rb") as f:
                    what = f.read().replace(b"\0", b" ").decode(errors="replace")
            except OSError:
                what = x["name"]
            print("mailenv: pid %d (%s) still alive after %ds, SIGKILL" % (
                x["pid"], what.strip(), timeout), file=sys.stderr)
            try:
                os.kill(x["pid"], signal.SIGKILL)
            except ProcessLookupError:
                pass
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline and any(same_process(x) for x in alive + extra):
        time.sleep(0.1)
    left = [x for x in alive + extra if same_process(x)]
    env = read_json(os.path.join(d, "env.json"), {})
    if env.get("private_base_dir") and not left:
        shutil.rmtree(env["private_base_dir"], ignore_errors=True)
    if not left:
        os.replace(os.path.join(d, "pids.json"), os.path.join(d, "pids.stopped.json"))
    return left


def cmd_down(a):
    d = os.path.abspath(a.dir)
    if not os.path.exists(os.path.join(d, "pids.json")):
        print("mailenv: nothing recorded as running in %s" % d)
        return
    left = stop_recorded(d)
    if left:
        die("could not stop: %s" % left, 1)
    print("mailenv: stopped")


def cmd_status(a):
    d = os.path.abspath(a.dir)
    recs = read_json(os.path.join(d, "pids.json"), [])
    for x in recs:
        print("%-8s pid %-7d %s" % (x["name"], x["pid"],
                                    "alive" if same_process(x) else "gone"))
    if not recs:
        print("not up")
    sys.exit(0 if recs and all(same_process(x) for x in recs) else 1)


def cmd_seed(a):
    d = os.path.abspath(a.dir)
    env = read_json(os.path.join(d, "env.json"))
    if env is None:
        die("%s has no env.json; run `up` first" % d)
    kb = env["attach_kb"] if a.attach_kb is None else a.attach_kb
    every = env["attach_every"] if a.attach_every is None else a.attach_every
    count = env.get("new", 0) if a.count is None else a.count
    man = seed_messages(d, count, kb, every, env["seed"])
    print("seeded %d messages (%d bytes)" % (len(man), sum(m["size"] for m in man)))


# --------------------------------------------------------------------------
# SMTP / LMTP sink (runs as its own process, started by `up`)

def cmd_sink(a):
    from aiosmtpd.controller import Controller
    from aiosmtpd.lmtp import LMTP
    from aiosmtpd.smtp import AuthResult, LoginPassword

    d = os.path.abspath(a.dir)
    sink = os.path.join(d, "sink")
    tmpdir = os.path.join(sink, ".tmp")
    os.makedirs(tmpdir, exist_ok=True)
    state = {"seq": len([n for n in os.listdir(sink) if n.endswith(".eml")]),
             "calls": 0}

    class Handler:
        def __init__(self, proto):
            self.proto = proto

        async def handle_DATA(self, server, session, envelope):
            state["calls"] += 1
            if a.tempfail_every and state["calls"] % a.tempfail_every == 0:
                return "451 4.3.0 injected temporary failure"
            state["seq"] += 1
            base = "%06d" % state["seq"]
            raw = envelope.original_content or envelope.content
            meta = {"seq": state["seq"], "proto": self.proto,
                    "mail_from": envelope.mail_from, "rcpt_tos": envelope.rcpt_tos,
                    "mail_options": envelope.mail_options, "size": len(raw),
                    "tls": session.ssl is not None,
                    "auth": (session.auth_data.login.decode("utf-8", "replace")
                             if isinstance(session.auth_data, LoginPassword) else None),
                    "peer": list(session.peer)[:2], "time": time.time()}
            with open(os.path.join(tmpdir, base + ".json"), "w") as f:
                json.dump(meta, f)
            with open(os.path.join(tmpdir, base + ".eml"), "wb") as f:
                f.write(raw)
            os.rename(os.path.join(tmpdir, base + ".json"), os.path.join(sink, base + ".json"))
            os.rename(os.path.join(tmpdir, base + ".eml"), os.path.join(sink, base + ".eml"))
            return "250 2.0.0 Ok: stored as %s" % base

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and
              auth_data.login == POP3_USER.encode() and auth_data.password == POP3_PASS.encode())
        # handled=False: let aiosmtpd itself answer 535 on failure (default is silence)
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)

    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(os.path.join(d, "tls", "cert.pem"), os.path.join(d, "tls", "key.pem"))
    common = dict(tls_context=ctx, require_starttls=False, authenticator=authenticator,
                  auth_require_tls=False, decode_data=False,
                  data_size_limit=64 * 1024 * 1024, command_call_limit=None)
    controllers = [Controller(Handler("smtp"), hostname="127.0.0.1", port=a.smtp_port,
                              server_hostname="sink.example.test", **common)]

    class LMTPController(Controller):
        def factory(self):
            return LMTP(self.handler, **self.SMTP_kwargs)

    if a.lmtp_port:
        controllers.append(LMTPController(Handler("lmtp"), hostname="127.0.0.1",
                                          port=a.lmtp_port,
                                          server_hostname="sink.example.test", **common))
    for c in controllers:
        c.start()
    print("sink listening: smtp %d lmtp %s" % (a.smtp_port, a.lmtp_port or "-"), flush=True)
    stop = {"now": False}

    def on_term(signum, frame):
        stop["now"] = True

    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)
    while not stop["now"]:
        time.sleep(0.2)
    for c in controllers:
        c.stop()


# --------------------------------------------------------------------------
# measurement helpers for the bench scripts

LOGOUT_RE = re.compile(r"pop3\(.*?\).*?: Info: Disconnected:? (?P<why>.*?)in=(?P<in>\d+) "
                       r"out=(?P<out>\d+) top=(?P<top>\d+)/(?P<topb>\d+) "
                       r"retr=(?P<retr>\d+)/(?P<retrb>\d+) del=(?P<del>\d+)/(?P<msgs>\d+) "
                       r"size=(?P<size>\d+)")


def sink_files(d):
    sink = os.path.join(d, "sink")
    return sorted(n for n in os.listdir(sink) if n.endswith(".eml"))


def cmd_mark(a):
    d = os.path.abspath(a.dir)
    log = os.path.join(d, "log", "dovecot.log")
    print(json.dumps({"log_offset": os.path.getsize(log) if os.path.exists(log) else 0,
                      "sink_count": len(sink_files(d)), "time": time.time()}))


def parse_log_since(d, offset):
    with open(os.path.join(d, "log", "dovecot.log"), "rb") as f:
        f.seek(offset)
        text = f.read().decode("utf-8", "replace")
    logins = text.count("pop3-login: Info: Login:")
    sessions = [m.groupdict() for m in LOGOUT_RE.finditer(text)]
    failures = len(re.findall(r"pop3-login: Info: (Disconnected|Aborted login).*auth failed",
                              text))
    return logins, sessions, failures, text


def measure(d, mark):
    # Dovecot's log process writes asynchronously: wait until every Login has
    # its logout line (or give up after 5 s).
    deadline = time.monotonic() + 5
    while True:
        logins, sessions, failures, text = parse_log_since(d, mark["log_offset"])
        if len(sessions) >= logins or time.monotonic() > deadline:
            break
        time.sleep(0.1)
    files = sink_files(d)[mark["sink_count"]:]
    smtp_bytes = sum(os.path.getsize(os.path.join(d, "sink", n)) for n in files)
    out = {
        "pop3_logins": logins, "pop3_sessions_logged": len(sessions),
        "pop3_auth_failures": failures,
        "pop3_bytes_to_client": sum(int(s["out"]) for s in sessions),
        "pop3_bytes_from_client": sum(int(s["in"]) for s in sessions),
        "pop3_retr": sum(int(s["retr"]) for s in sessions),
        "pop3_retr_bytes": sum(int(s["retrb"]) for s in sessions),
        "pop3_top": sum(int(s["top"]) for s in sessions),
        "pop3_dele": sum(int(s["del"]) for s in sessions),
        "pop3_fetches": sum(int(s["retr"]) + int(s["top"]) for s in sessions),
        "delivered": len(files), "delivered_bytes": smtp_bytes,
    }
    out.update(verify(d))
    return out


def cmd_measure(a):
    out = measure(os.path.abspath(a.dir), json.loads(a.mark))
    print(json.dumps(out, sort_keys=True))


TIME_FIELDS = {"User time (seconds)": ("user_s", float),
               "System time (seconds)": ("sys_s", float),
               "Maximum resident set size (kbytes)": ("maxrss_kb", int),
               "Exit status": ("exit", int),
               "Voluntary context switches": ("vol_ctx_switches", int)}


def parse_time_v(path):
    """Fields of GNU time -v output (only the ones the tables use)."""
    out = {}
    with open(path, errors="replace") as f:
        for line in f:
            k, _, v = line.strip().rpartition(": ")
            if k in TIME_FIELDS:
                name, conv = TIME_FIELDS[k]
                out[name] = conv(v)
            elif k.startswith("Elapsed (wall clock) time"):
                parts = [float(x) for x in v.split(":")]
                secs = 0.0
                for x in parts:
                    secs = secs * 60 + x
                out["time_wall_s"] = secs
            elif k == "Command terminated by signal":
                out["signal"] = int(v)
    if "user_s" in out and "sys_s" in out:
        out["cpu_s"] = round(out["user_s"] + out["sys_s"], 3)
    return out


def cmd_record(a):
    """Append one pass's figures (time -v + POP3 log + sink) to a JSONL file."""
    d = os.path.abspath(a.dir)
    rec = {}
    for kv in a.tag:
        k, _, v = kv.partition("=")
        rec[k] = int(v) if v.isdigit() else v
    rec.update(parse_time_v(a.time_file))
    rec["wall_s"] = round(a.wall, 4)
    rec.update(measure(d, json.loads(a.mark)))
    with open(a.results, "a", encoding="utf-8") as f:
        f.write(json.dumps(rec, sort_keys=True, ensure_ascii=False) + "\n")
    print("%-14s pass %s: wall %.3fs cpu %.2fs rss %.1fMiB pop3->client %d B, "
          "delivered %d (expected %s), exit %s" % (
              rec.get("tool"), rec.get("pass"), rec["wall_s"], rec.get("cpu_s", -1),
              rec.get("maxrss_kb", 0) / 1024.0, rec["pop3_bytes_to_client"],
              rec["delivered"], rec.get("expected"), rec.get("exit")))


def verify(d):
    """Compare everything in the sink with the manifest of seeded messages."""
    expected = {}
    with open(os.path.join(d, "manifest.jsonl"), encoding="utf-8") as f:
        for line in f:
            rec = json.loads(line)
            expected[rec["message_id"]] = rec
    seen, dup, unknown, changed, rcpts, kinds_changed = {}, 0, 0, 0, set(), {}
    for n in sink_files(d):
        with open(os.path.join(d, "sink", n), "rb") as f:
            raw = f.read()
        meta = read_json(os.path.join(d, "sink", n[:-4] + ".json"), {})
        rcpts.update(meta.get("rcpt_tos", []))
        mid = header_value(raw, "Message-ID")
        if mid not in expected:
            unknown += 1
            continue
        if mid in seen:
            dup += 1
        seen[mid] = True
        if body_digest(raw) != expected[mid]["body_sha256"]:
            changed += 1
            k = expected[mid]["kind"]
            kinds_changed[k] = kinds_changed.get(k, 0) + 1
    return {"total_delivered": sum(1 for _ in sink_files(d)), "distinct_delivered": len(seen),
            "seeded": len(expected), "missing": len(expected) - len(seen),
            "duplicates": dup, "unknown": unknown, "body_changed": changed,
            "body_changed_kinds": kinds_changed, "rcpt_tos": sorted(rcpts)}


def cmd_verify(a):
    res = verify(os.path.abspath(a.dir))
    print(json.dumps(res, indent=1, sort_keys=True))
    bad = res["missing"] or res["duplicates"] or res["unknown"] or res["body_changed"]
    sys.exit(1 if bad else 0)


def cmd_summarize(a):
    """Markdown tables of medians per (scenario, tool, pass)."""
    rows = []
    with open(a.results, encoding="utf-8") as f:
        for line in f:
            if line.strip():
                rows.append(json.loads(line))
    groups = {}
    for r in rows:
        groups.setdefault((r["scenario"], r["tool"], r["pass"]), []).append(r)

    def med(rs, key, default=0):
        vals = [r[key] for r in rs if r.get(key) is not None]
        return statistics.median(vals) if vals else default

    scenario = None
    for key in sorted(groups, key=lambda k: (k[0], k[1], int(k[2]))):
        rs = groups[key]
        if key[0] != scenario:
            scenario = key[0]
            print("\n**%s** (medians of the runs shown)\n" % scenario)
            print("| tool | pass | runs | wall s | CPU s | peak RSS MiB | POP3 bytes to client "
                  "| RETR / TOP | delivered (expected) | dup / missing / body changed |")
            print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        print("| %s | %s | %d | %.2f | %.2f | %.1f | %s | %d / %d | %d (%s) | %d / %d / %d |" % (
            key[1], key[2], len(rs), med(rs, "wall_s"), med(rs, "cpu_s"),
            med(rs, "maxrss_kb") / 1024.0, format(int(med(rs, "pop3_bytes_to_client")), ","),
            med(rs, "pop3_retr"), med(rs, "pop3_top"), med(rs, "delivered"),
            rs[0].get("expected", "?"), med(rs, "duplicates"), med(rs, "missing"),
            med(rs, "body_changed")))


# --------------------------------------------------------------------------

def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)

    u = sub.add_parser("up", help="create and start an environment")
    u.add_argument("--dir", required=True)
    u.add_argument("--pop3-port", type=int, default=11110)
    u.add_argument("--pop3s-port", type=int, default=11995)
    u.add_argument("--smtp-port", type=int, default=12525)
    u.add_argument("--lmtp-port", type=int, default=0, help="0 = no LMTP listener")
    u.add_argument("--messages", type=int, default=20)
    u.add_argument("--attach-kb", type=int, default=200)
    u.add_argument("--attach-every", type=int, default=3,
                   help="every Nth message carries the attachment (0 = none)")
    u.add_argument("--new", type=int, default=0,
                   help="how many messages a later `seed` without --count adds")
    u.add_argument("--seed", default="mailenv")
    u.add_argument("--auth-mechs", default="plain login",
                   help="Dovecot auth_mechanisms, e.g. 'plain login cram-md5 apop'")
    u.add_argument("--login-user", default="nobody",
                   help="unprivileged user for pop3-login when run as root")
    u.add_argument("--tempfail-every", type=int, default=0,
                   help="sink answers 451 to every Nth DATA (0 = never)")
    u.set_defaults(fn=cmd_up)

    x = sub.add_parser("down", help="stop the recorded processes")
    x.add_argument("--dir", required=True)
    x.set_defaults(fn=cmd_down)

    s = sub.add_parser("status")
    s.add_argument("--dir", required=True)
    s.set_defaults(fn=cmd_status)

    sd = sub.add_parser("seed", help="append messages to the mailbox")
    sd.add_argument("--dir", required=True)
    sd.add_argument("--count", type=int, default=None,
                    help="default: the --new given to `up`")
    sd.add_argument("--attach-kb", type=int, default=None)
    sd.add_argument("--attach-every", type=int, default=None)
    sd.set_defaults(fn=cmd_seed)

    k = sub.add_parser("_sink", help=argparse.SUPPRESS)
    k.add_argument("--dir", required=True)
    k.add_argument("--smtp-port", type=int, required=True)
    k.add_argument("--lmtp-port", type=int, default=0)
    k.add_argument("--tempfail-every", type=int, default=0)
    k.set_defaults(fn=cmd_sink)

    m = sub.add_parser("mark")
    m.add_argument("--dir", required=True)
    m.set_defaults(fn=cmd_mark)

    me = sub.add_parser("measure")
    me.add_argument("--dir", required=True)
    me.add_argument("--mark", required=True, help="JSON printed by `mark`")
    me.set_defaults(fn=cmd_measure)

    v = sub.add_parser("verify")
    v.add_argument("--dir", required=True)
    v.set_defaults(fn=cmd_verify)

    rc = sub.add_parser("record", help="append one pass's measurements to a JSONL file")
    rc.add_argument("--dir", required=True)
    rc.add_argument("--mark", required=True)
    rc.add_argument("--time-file", required=True, help="output of /usr/bin/time -v -o")
    rc.add_argument("--wall", type=float, required=True, help="wall seconds measured by caller")
    rc.add_argument("--results", required=True)
    rc.add_argument("--tag", action="append", default=[], help="key=value, repeatable")
    rc.set_defaults(fn=cmd_record)

    sm = sub.add_parser("summarize")
    sm.add_argument("results")
    sm.set_defaults(fn=cmd_summarize)

    a = p.parse_args(argv)
    a.fn(a)


if __name__ == "__main__":
    main()
