#!/usr/bin/python3
"""An SMTP server on 127.0.0.1 for the tests; it records every message it accepts.

    smtp_server.py --store DIR [--tls none|starttls|implicit] [--certs DIR] [--cert server|other]
                   [--auth USER:PASSWORD] [--log FILE] [--port N] [--exit-on-stdin-eof]

--certs is a folder made by make_certs.sh (needed unless --tls none). With --auth, AUTH PLAIN and LOGIN are
offered and required before MAIL; with --tls starttls they are offered only after STARTTLS. Started again
with the same --store and --port, it comes back at the same address and numbers on from the messages there.

Every accepted message becomes DIR/NNNN.eml (the bytes received, dot-unstuffed, CRLF kept) and then
DIR/NNNN.json with
    the session:    mail_from, rcpt_tos, peer, helo, esmtp, tls, auth_user, size, session (the number of
                    the connection, from 1 in each run of the server)
    the raw lines:  max_line_octets, bare_cr_or_lf, eight_bit
    Python's reading (email.policy.default; headers decoded, null when absent):
                    subject, from, to, cc, bcc, date, message_id, mime_version, content_transfer_encoding,
                    content_type, charset, body (the text/plain part, LF line ends), attachments, defects

DIR/control.json, read again at every command, injects faults:
    "refuse_rcpt": ["a@b", ...]   these recipients get 550
    "fail_data": N                the next N messages get 451 (the server counts N down in the file)
    "fail_data_at": "end"|"command"   451 after the message text (default) or to the DATA command itself
    "fail_data_code": 554         the reply code of those failures instead of 451
    "drop_on": "MAIL"|"RCPT"|"DATA"|"DATA_END"|...   close the connection without answering that
                                  command (DATA_END: after the message text, once it is stored)
    "silent": true                accept connections but never greet (they are closed after 60 s)
    "stall_on": "DATA_END"|...    never answer that command (DATA_END: the message text, not stored);
                                  "stalling on NAME" goes to the log first
    "faults_after": N             the faults above wait until N more messages were accepted (counted down)

When ready, one JSON line goes to stdout: {"port", "pid"}. Runs until SIGTERM, or with --exit-on-stdin-eof
until stdin closes (the test process died).
"""

import argparse
import asyncio
import email
import email.policy
import json
import logging
import os
import re
import signal
import ssl
import sys
import warnings

from aiosmtpd.smtp import SMTP, AuthResult

warnings.filterwarnings("ignore", message="Requiring AUTH while not requiring TLS")

DROP_WAIT = 30  # the handler is cancelled as soon as the dropped connection is noticed


class Store:
    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        numbers = [int(m.group(1)) for m in map(re.compile(r"^(\d+)\.json$").match, os.listdir(folder)) if m]
        self.next = max(numbers, default=0) + 1

    def control(self):
        try:
            with open(os.path.join(self.folder, "control.json")) as f:
                data = json.load(f)
            return data if isinstance(data, dict) else {}
        except (OSError, ValueError):
            return {}

    def faults(self):
        """The control in force now: none while "faults_after" still counts."""
        data = self.control()
        waiting = data.get("faults_after", 0)
        return {} if isinstance(waiting, int) and waiting > 0 else data

    def count_accepted(self):
        waiting = self.control().get("faults_after", 0)
        if isinstance(waiting, int) and waiting > 0:
            self.update_control(faults_after=waiting - 1)

    def update_control(self, **changes):
        data = self.control()
        data.update(changes)
        self._write("control.json", json.dumps(data).encode())

    def _write(self, name, data):
        # Written under another name and renamed, so a reader never sees half a file.
        tmp = os.path.join(self.folder, f".{name}.tmp")
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, os.path.join(self.folder, name))

    def save(self, raw, facts):
        stem = f"{self.next:04d}"
        self.next += 1
        self._write(stem + ".eml", raw)
        self._write(stem + ".json", json.dumps(facts, ensure_ascii=False, indent=1).encode())


def reading(raw):
    """Python's view of the message, for the tests to compare with."""
    lines = raw.split(b"\r\n")
    if lines and lines[-1] == b"":
        lines.pop()
    facts = {
        "max_line_octets": max((len(line) for line in lines), default=0),
        "bare_cr_or_lf": any(b"\r" in line or b"\n" in line for line in lines),
        "eight_bit": any(byte > 127 for byte in raw),
    }
    msg = email.message_from_bytes(raw, policy=email.policy.default)

    def header(name):
        value = msg.get(name)
        return None if value is None else str(value)

    for key, name in (("subject", "Subject"), ("from", "From"), ("to", "To"), ("cc", "Cc"), ("bcc", "Bcc"),
                      ("date", "Date"), ("message_id", "Message-ID"), ("mime_version", "MIME-Version"),
                      ("content_transfer_encoding", "Content-Transfer-Encoding")):
        facts[key] = header(name)
    facts["content_type"] = msg.get_content_type()
    facts["defects"] = [type(d).__name__ for d in msg.defects]
    body = msg.get_body(("plain",))
    facts["charset"] = body.get_content_charset() if body is not None else None
    try:
        # Python keeps the CRLF of the wire; the tests compare with text as the program holds it.
        facts["body"] = body.get_content().replace("\r\n", "\n") if body is not None else None
    except Exception as error:  # an undecodable body is a finding, not a server failure
        facts["body"] = None
        facts["body_error"] = f"{type(error).__name__}: {error}"
    facts["attachments"] = [{"filename": part.get_filename(), "content_type": part.get_content_type(),
                             "size": len(part.get_payload(decode=True) or b"")}
                            for part in msg.iter_attachments()]
    return facts


def uses_tls(server):
    return server.transport is not None and server.transport.get_extra_info("ssl_object") is not None


class Handler:
    def __init__(self, store):
        self.store = store

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in (a.lower() for a in self.store.faults().get("refuse_rcpt", [])):
            return f"550 5.1.1 <{address}>: Recipient address rejected"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        control = self.store.faults()
        drop_after_storing = str(control.get("drop_on", "")).upper() == "DATA_END"
        if str(control.get("stall_on", "")).upper() == "DATA_END":
            await server.stall("DATA_END")
        if control.get("fail_data_at", "end") == "end" and self.take_failure(control):
            return failure_reply(control)
        raw = envelope.original_content
        facts = {
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "peer": list(session.peer) if session.peer else None,
            "helo": session.host_name,
            "esmtp": bool(session.extended_smtp),
            "tls": uses_tls(server),
            "auth_user": session.login_data.decode("utf-8", "replace") if session.login_data else None,
            "size": len(raw),
            "session": server.session_number,
        }
        try:
            facts.update(reading(raw))
        except Exception as error:
            facts["parse_error"] = f"{type(error).__name__}: {error}"
        self.store.save(raw, facts)
        self.store.count_accepted()
        if drop_after_storing:
            await server.drop()
        return "250 OK"

    def take_failure(self, control):
        remaining = control.get("fail_data", 0)
        if not isinstance(remaining, int) or remaining <= 0:
            return False
        self.store.update_control(fail_data=remaining - 1)
        return True


def failure_reply(control):
    code = control.get("fail_data_code", 451)
    if isinstance(code, int) and 500 <= code < 600:
        return f"{code} 5.3.0 Permanent failure"
    return "451 4.3.0 Temporary failure, try again later"


class TestSMTP(SMTP):
    sessions = 0

    def __init__(self, handler, **kwargs):
        super().__init__(handler, **kwargs)
        self.store = handler.store
        TestSMTP.sessions += 1
        self.session_number = TestSMTP.sessions
        for name, method in list(self._smtp_methods.items()):
            self._smtp_methods[name] = self._guarded(name, method)

    def _guarded(self, name, method):
        async def guarded(arg):
            control = self.store.faults()
            if str(control.get("drop_on", "")).upper() == name:
                await self.drop()
            if str(control.get("stall_on", "")).upper() == name:
                await self.stall(name)
            if (name == "DATA" and control.get("fail_data_at") == "command" and self.envelope.rcpt_tos
                    and self.event_handler.take_failure(control)):
                return await self.push(failure_reply(control))
            return await method(arg)

        return guarded

    async def drop(self):
        self.transport.abort()
        # connection_lost() cancels this coroutine; nothing after this line runs.
        await asyncio.sleep(DROP_WAIT)
        raise ConnectionResetError("dropped on purpose")

    async def stall(self, name):
        logging.warning("stalling on %s", name)
        await asyncio.sleep(24 * 3600)  # ends when the client goes away or the server stops

    async def _handle_client(self):
        if self.store.faults().get("silent"):
            await asyncio.sleep(24 * 3600)  # ends when the client goes away or the server stops
            return
        await super()._handle_client()


def tls_context(args):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(os.path.join(args.certs, args.cert + ".pem"),
                            os.path.join(args.certs, args.cert + ".key"))
    return context


async def serve(args):
    store = Store(args.store)
    handler = Handler(store)
    context = tls_context(args) if args.tls != "none" else None
    user, _, password = (args.auth or "").partition(":")

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = auth_data.login == user.encode() and auth_data.password == password.encode()
        return AuthResult(success=ok, handled=False, auth_data=auth_data if ok else None)

    def factory():
        return TestSMTP(
            handler,
            hostname="localhost",  # the default asks DNS for the host's full name
            ident="PelimoMail test SMTP",
            tls_context=context if args.tls == "starttls" else None,
            # An implicit-TLS connection is encrypted from the start, which aiosmtpd does not notice itself.
            auth_require_tls=args.tls == "starttls",
            auth_required=bool(args.auth),
            authenticator=authenticator if args.auth else None,
            timeout=60,
        )

    loop = asyncio.get_running_loop()
    server = await loop.create_server(factory, "127.0.0.1", args.port, reuse_address=True,
                                      ssl=context if args.tls == "implicit" else None)
    port = server.sockets[0].getsockname()[1]
    print(json.dumps({"port": port, "pid": os.getpid()}), flush=True)

    stopping = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stopping.set)
    if args.exit_on_stdin_eof:
        reader = asyncio.StreamReader()
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)

        async def watch():
            while await reader.read(4096):
                pass
            stopping.set()

        loop.create_task(watch())
    await stopping.wait()
    server.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--store", required=True)
    parser.add_argument("--tls", choices=["none", "starttls", "implicit"], default="none")
    parser.add_argument("--certs", help="folder made by make_certs.sh")
    parser.add_argument("--cert", choices=["server", "other"], default="server")
    parser.add_argument("--auth", help="USER:PASSWORD")
    parser.add_argument("--log", help="file for the server's own log (default: warnings on stderr)")
    parser.add_argument("--port", type=int, default=0, help="the port to serve on (default: a free one)")
    parser.add_argument("--exit-on-stdin-eof", action="store_true")
    args = parser.parse_args()
    if args.tls != "none" and not args.certs:
        parser.error("--certs is needed with TLS")
    if args.log:
        logging.basicConfig(filename=args.log, level=logging.INFO,
                            format="%(asctime)s %(name)s %(levelname)s %(message)s")
    asyncio.run(serve(args))


if __name__ == "__main__":
    main()
