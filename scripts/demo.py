#!/usr/bin/python3
"""PelimoMail with a mailbox and a phone of its own, all on 127.0.0.1 (what `scripts/run --demo` runs).

    demo.py --program PATH   starts the servers, writes a throwaway settings store, runs the program on it
                             and prints every page the phone receives; stops everything it started when the
                             program ends, on Ctrl-C or on SIGTERM
    demo.py --servers-only   the same without the program, e.g. for a build of one's own or for the tests:
                             one JSON line first ({"folder", "config", "pop3_port", "smtp_port", "phone",
                             "user", "password", "destination"}), then the pages as they arrive, until stdin
                             closes, Ctrl-C or SIGTERM

Everything lives in one temporary folder (under $TMPDIR), removed at the end:

    config/PelimoMail/Q-Post.conf  the settings store: the simple set, saved and tested, checking every minute
    config/ data/ cache/ runtime/  the program's XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_CACHE_HOME (its TmpFiles)
                                   and XDG_RUNTIME_DIR, so that the user's own store and a PelimoMail already
                                   running are left alone
    program/                       a copy of the program, also its current folder: logs land here
    pop3/                          Dovecot (tests/servers/dovecot.py); the mailbox pop3/mail/demo/Maildir
                                   starts with the messages of scripts/demo-mail/
    phone/                         what the phone received (tests/servers/smtp_server.py): NNNN.eml, NNNN.json
"""

import argparse
import ctypes
import json
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVERS = os.path.join(ROOT, "tests", "servers")
MAIL = os.path.join(ROOT, "scripts", "demo-mail")
PYTHON = "/usr/bin/python3"  # Debian's aiosmtpd lives there

USER = "demo"
PASSWORD = "pelimo"
DESTINATION = "phone@example.jp"
PAGE_SIZE = 150  # small enough that the long report comes as three pages
READY_SECONDS = 20
STOP_SECONDS = 5

FILLERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ123456789"


def scramble(text):
    """The program's scrambling of user IDs and passwords (mdlPassWord): k - 1 fillers, then the text
    backwards with 3, 6, 9, ... fillers after its characters, then the digit k."""
    k = random.randint(1, 9)
    out = "".join(random.choice(FILLERS) for _ in range(k - 1))
    for j, char in enumerate(reversed(text), 1):
        out += char + "".join(random.choice(FILLERS) for _ in range(3 * j))
    return out + str(k)


def ini_value(value):
    """The text as QSettings reads it back from an INI file: plain, as long as nothing needs escaping."""
    if re.search(r'[\x00-\x1f";,=\\]', value) or value[:1] in ("@", " ") or value[-1:] == " ":
        raise ValueError(f"a setting QSettings would have to escape: {value!r}")
    return value


def write_store(config, pop3_port, smtp_port):
    """Writes config/PelimoMail/Q-Post.conf with the keys the settings classes read (clsSet2, clsSystem)."""
    eset = {
        "Val1": f"127.0.0.1:{pop3_port}",  # POP3 server
        "Val2": scramble(USER),
        "Val3": scramble(PASSWORD),
        "Val4": f"127.0.0.1:{smtp_port}",  # SMTP server
        "Val5": DESTINATION,
        "Val6": "1",  # minutes between checks
        "Val7": "",
        "Val8": str(PAGE_SIZE),
        "Val9": "",  # no screen saver when running starts
        "Val10": "",
        "Val11": "",
    }
    # SetSelect 0 is the simple set, whose saved and tested flags are Setting2 and Test2.
    system = {"SetSelect": "0", "Setting1": "False", "Setting2": "True", "Test1": "False", "Test2": "True",
              "SmtpLog": "False", "Pop3Log": "False", "RunLog": "False"}
    lines = []
    for section, keys in (("ESET", eset), ("SYSTEM", system)):
        lines.append(f"[{section}]")
        lines += [f"{key}={ini_value(value)}" for key, value in keys.items()]
        lines.append("")
    folder = os.path.join(config, "PelimoMail")
    os.makedirs(folder, mode=0o700, exist_ok=True)
    path = os.path.join(folder, "Q-Post.conf")
    # It holds a password: readable by the user alone, as the program keeps it.
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    return path


def fill_mailbox(pop3_run):
    """Puts the demo messages into the maildir before Dovecot starts (dovecot.py then hands it to its mail
    user). Names start with increasing times: Dovecot numbers new mail by them."""
    maildir = os.path.join(pop3_run, "mail", USER, "Maildir")
    for sub in ("new", "cur", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    names = sorted(n for n in os.listdir(MAIL) if n.endswith(".eml"))
    start = int(time.time()) - len(names)
    for i, name in enumerate(names):
        unique = f"{start + i}.M{i:06d}P{os.getpid()}Q{i + 1}.pelimo-demo"
        shutil.copyfile(os.path.join(MAIL, name), os.path.join(maildir, "tmp", unique))
        os.rename(os.path.join(maildir, "tmp", unique), os.path.join(maildir, "new", unique))
    return len(names)


LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def die_with_driver():
    # A program or server left running after the driver was killed would only confuse the next try.
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class Server:
    """One of the test servers as a child; it also stops by itself when this script's end closes its stdin."""

    def __init__(self, name, args, log):
        self.name = name
        self.log = log
        with open(log, "wb") as err:
            # Its own session: Ctrl-C reaches the driver alone, which stops the servers in order.
            self.proc = subprocess.Popen([PYTHON, os.path.join(SERVERS, args[0])] + args[1:] +
                                         ["--exit-on-stdin-eof"], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=err, start_new_session=True,
                                         preexec_fn=die_with_driver)
        self.port = self._ready()["port"]

    def _ready(self):
        deadline = time.monotonic() + READY_SECONDS
        while time.monotonic() < deadline and self.proc.poll() is None:
            if select.select([self.proc.stdout], [], [], 0.2)[0]:
                line = self.proc.stdout.readline()
                if line:
                    return json.loads(line)
        self.stop()
        raise RuntimeError(f"{self.name} did not start:\n{tail(self.log)}")

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                self.proc.terminate()
                try:
                    self.proc.wait(STOP_SECONDS)
                except subprocess.TimeoutExpired:
                    self.proc.kill()
                    self.proc.wait()


def stopped(servers):
    """True, after saying so, when a server ended on its own."""
    for server in servers:
        if server.proc.poll() is not None:
            print(f"\n{server.name} stopped on its own:\n{tail(server.log)}", file=sys.stderr)
            return True
    return False


def tail(path, limit=3000):
    try:
        with open(path, errors="replace") as f:
            return f.read()[-limit:]
    except OSError:
        return ""


class Phone:
    """Prints each message the SMTP server stores, in the order received."""

    def __init__(self, folder):
        self.folder = folder
        self.shown = 0

    def poll(self):
        try:
            names = os.listdir(self.folder)
        except FileNotFoundError:
            return
        numbers = sorted(int(m.group(1)) for m in map(re.compile(r"^(\d+)\.json$").match, names) if m)
        for number in numbers[self.shown:]:
            try:
                with open(os.path.join(self.folder, f"{number:04d}.json"), encoding="utf-8") as f:
                    facts = json.load(f)
            except (OSError, ValueError):
                return  # shown at the next poll
            self.shown += 1
            show_page(self.shown, facts)


def show_page(number, facts):
    stamp = time.strftime("%H:%M:%S")
    print(f"\n── {stamp}  電話に届いたメール / received by the phone: {number} "
          f"({facts.get('mail_from')} → {', '.join(facts.get('rcpt_tos') or [])})")
    print(f"   件名 Subject: {facts.get('subject')}")
    body = facts.get("body")
    if body is None:
        body = f"(no text: {facts.get('body_error') or facts.get('content_type')})"
    for line in body.rstrip("\n").split("\n"):
        print(f"   │ {line}".rstrip())
    sys.stdout.flush()


class Interrupted(Exception):
    def __init__(self, code):
        super().__init__(code)
        self.code = code


def interrupt(number, _frame):
    # SIGTERM ends the demo the way Ctrl-C does, cleaning up on the way.
    raise Interrupted(128 + number)


def display_missing():
    return not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY") or
                os.environ.get("QT_QPA_PLATFORM"))


def program_environment(folder):
    env = dict(os.environ)
    runtime = env.get("XDG_RUNTIME_DIR")
    # The desktop's sockets sit in the user's own runtime folder, which the program no longer sees as such.
    wayland = env.get("WAYLAND_DISPLAY")
    if runtime and wayland and not wayland.startswith("/"):
        env["WAYLAND_DISPLAY"] = os.path.join(runtime, wayland)
    if runtime and not env.get("DBUS_SESSION_BUS_ADDRESS") and os.path.exists(os.path.join(runtime, "bus")):
        env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + os.path.join(runtime, "bus")
    for name in ("config", "data", "cache", "runtime"):
        os.makedirs(os.path.join(folder, name), mode=0o700, exist_ok=True)
    env["XDG_CONFIG_HOME"] = os.path.join(folder, "config")
    env["XDG_DATA_HOME"] = os.path.join(folder, "data")
    env["XDG_CACHE_HOME"] = os.path.join(folder, "cache")
    env["XDG_RUNTIME_DIR"] = os.path.join(folder, "runtime")
    return env


INSTRUCTIONS = """
PelimoMail デモ — メールボックス（POP3）と電話役の SMTP サーバーが 127.0.0.1 で動いています。
  受信箱に {count} 通: 日本語（ISO-2022-JP と UTF-8）、英語、数ページに分かれる長いメール、添付ファイル付き。
  1. 数秒後に開くパネルで、いちばん大きい「開始」ボタンを押してください。
  2. 1 分ほどで、電話に届いたページがこの下に表示されます。
     電話で 1 ページ目が上に並ぶよう、最後のページから届きます。
  3. 終わるときは、トレイのアイコン（トレイが無いときは画面右下の小さな窓の ▼）のメニューから
     「ペリモメールの終了」を選びます。ここで Ctrl-C を押しても、すべて止まります。

PelimoMail demo — a POP3 mailbox and an SMTP server playing the phone run on 127.0.0.1.
  The mailbox holds {count} mails: Japanese (ISO-2022-JP and UTF-8), English, a long one that comes in
  pages, one with an attachment.
  1. On the panel that opens in a few seconds, press the largest button, 開始 (start).
  2. Within about a minute the pages the phone receives appear below (the last page first, so that the
     phone lists page 1 on top).
  3. To end, choose ペリモメールの終了 (quit) from the menu of the tray icon (without a tray: the ▼ of the
     small window at the bottom right of the screen). Ctrl-C here stops everything as well.

  Throwaway settings and servers: {folder}
"""


def run(args):
    folder = tempfile.mkdtemp(prefix="pelimo-demo-")
    if os.geteuid() == 0:
        os.chmod(folder, 0o711)  # Dovecot's own users must pass through to the maildir
    servers = []
    program = None
    try:
        count = fill_mailbox(os.path.join(folder, "pop3"))
        servers.append(Server("Dovecot", ["dovecot.py", "--run", os.path.join(folder, "pop3"),
                                          "--user", f"{USER}:{PASSWORD}"], os.path.join(folder, "pop3.err")))
        # aiosmtpd offers AUTH in any case, and the program signs in with the receive account when offered.
        servers.append(Server("SMTP server", ["smtp_server.py", "--store", os.path.join(folder, "phone"),
                                              "--auth", f"{USER}:{PASSWORD}",
                                              "--log", os.path.join(folder, "smtp.log")],
                              os.path.join(folder, "smtp.err")))
        pop3, smtp = servers[0], servers[1]
        env = program_environment(folder)
        write_store(env["XDG_CONFIG_HOME"], pop3.port, smtp.port)
        phone = Phone(os.path.join(folder, "phone"))

        if args.servers_only:
            print(json.dumps({"folder": folder, "config": env["XDG_CONFIG_HOME"], "pop3_port": pop3.port,
                              "smtp_port": smtp.port, "phone": phone.folder, "user": USER,
                              "password": PASSWORD, "destination": DESTINATION}, ensure_ascii=False),
                  flush=True)
            while not stopped(servers):
                phone.poll()
                if select.select([sys.stdin], [], [], 0.3)[0] and not os.read(sys.stdin.fileno(), 4096):
                    phone.poll()
                    return 0
            return 1

        # A copy, so that the program's folder, where its logs go, is the throwaway one too.
        program_dir = os.path.join(folder, "program")
        os.makedirs(program_dir)
        copy = os.path.join(program_dir, "PelimoMail")
        shutil.copy2(args.program, copy)
        with open(os.path.join(folder, "program.out"), "wb") as out:
            program = subprocess.Popen([copy], cwd=program_dir, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=subprocess.STDOUT, start_new_session=True,
                                       preexec_fn=die_with_driver)
        print(INSTRUCTIONS.format(count=count, folder=folder), flush=True)
        while program.poll() is None:
            phone.poll()
            if stopped(servers):
                return 1
            time.sleep(0.3)
        phone.poll()
        code = program.returncode
        if code != 0:
            print(f"\nPelimoMail ended with code {code}:\n{tail(os.path.join(folder, 'program.out'))}",
                  file=sys.stderr)
        print(f"\nPelimoMail ended; the phone received {phone.shown} message(s). Demo over.")
        return 0 if code == 0 else 1
    except Interrupted as stop:
        print("\nStopping the demo.", file=sys.stderr)
        return stop.code
    except RuntimeError as error:
        print(error, file=sys.stderr)
        return 1
    finally:
        # Another Ctrl-C while cleaning up must not leave servers behind.
        for sig in (signal.SIGINT, signal.SIGTERM):
            signal.signal(sig, signal.SIG_IGN)
        if program is not None and program.poll() is None:
            program.terminate()
            try:
                program.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                program.kill()
                program.wait()
        for server in reversed(servers):
            server.stop()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--program", help="the PelimoMail executable to run")
    mode.add_argument("--servers-only", action="store_true")
    args = parser.parse_args()
    if args.program and not os.access(args.program, os.X_OK):
        parser.error(f"not a program: {args.program}")
    if args.program and display_missing():
        sys.exit("PelimoMail needs a desktop session to show its panel: no DISPLAY or WAYLAND_DISPLAY here.")
    sys.stdout.reconfigure(errors="replace", line_buffering=True)
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, interrupt)
    sys.exit(run(args))


if __name__ == "__main__":
    main()
