#!/usr/bin/python3
"""A private Dovecot POP3 server on 127.0.0.1 for the tests.

    dovecot.py --run DIR [--user NAME:PASSWORD]... [--tls none|starttls|implicit]
               [--certs DIR] [--cert server|other] [--disable-plaintext-auth] [--port N]
               [--exit-on-stdin-eof]

Everything lives in DIR: dovecot.conf, the passwd-file "users" (one "name:{PLAIN}password" a line; lines
appended later are picked up on the next login), dovecot.log, and one maildir a user:

    DIR/mail/<user>/Maildir/{new,cur,tmp}

A message is added by writing it with a unique name into DIR/mail/<user>/Maildir/new/ (write it elsewhere
first and rename it in, so Dovecot never sees half a file). Dovecot numbers new files by the time at the
start of their name, so "<seconds>.M<microseconds>P<pid>Q<n>.<host>" keeps the order they were added in.

Started again on a DIR it used before, with the --port it had, it serves the same mailboxes at the same
address, as a server does after a restart.

When ready, one JSON line goes to stdout: {"port", "pid" (this script), "dovecot_pid", "run", "log"}.
SIGTERM (or, with --exit-on-stdin-eof, the end of stdin, i.e. the test process died) stops Dovecot at once,
without its orderly shutdown: read the log before stopping.

Dovecot trusts a client whose address equals its own, which on loopback is always the case, so
--disable-plaintext-auth alone would change nothing. With it, the client talks to a relay that announces
the connection to Dovecot with a PROXY header from a documentation address (192.0.2.10); the traffic stays on
127.0.0.1 but Dovecot treats the client as remote and refuses clear-text passwords before TLS.
"""

import argparse
import ctypes
import grp
import json
import os
import pwd
import select
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FAKE_CLIENT_IP = "192.0.2.10"
STOPPING = threading.Event()  # set by SIGTERM/SIGINT
RUNNING = []  # Dovecot masters not yet stopped


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


LIBC = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36


def die_with_parent():
    # Dovecot must not outlive this script, even when the script is killed outright.
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def accounts():
    """(internal user, internal group, login user, mail uid, mail gid)."""
    if os.geteuid() != 0:
        me = pwd.getpwuid(os.geteuid())
        group = grp.getgrgid(os.getegid()).gr_name
        return me.pw_name, group, me.pw_name, me.pw_uid, me.pw_gid
    # Dovecot refuses root for mail access, so the mailboxes belong to its own unprivileged user.
    internal = pwd.getpwnam("dovecot")
    login = "dovenull" if _user_exists("dovenull") else "dovecot"
    return (internal.pw_name, grp.getgrgid(internal.pw_gid).gr_name, login, internal.pw_uid,
            internal.pw_gid)


def _user_exists(name):
    try:
        pwd.getpwnam(name)
        return True
    except KeyError:
        return False


def write_config(args, run, port, relayed):
    internal, internal_group, login, uid, gid = accounts()
    root = os.geteuid() == 0
    certs = args.certs or os.path.join(run, "certs")
    ssl_on = args.tls != "none"
    plain_port, tls_port = (0, port) if args.tls == "implicit" else (port, 0)
    haproxy = "yes" if relayed else "no"
    # A non-root master cannot chroot the login processes or anvil.
    chroot = "" if root else "  chroot =\n"
    conf = f"""
instance_name = pelimo-test-{os.getpid()}
base_dir = {run}/base
state_dir = {run}/state
log_path = {run}/dovecot.log
protocols = pop3
listen = 127.0.0.1
shutdown_clients = yes
default_internal_user = {internal}
default_internal_group = {internal_group}
default_login_user = {login}
first_valid_uid = 1
first_valid_gid = 1
mail_uid = {uid}
mail_gid = {gid}
mail_location = maildir:{run}/mail/%u/Maildir
pop3_uidl_format = {args.uidl_format}
auth_mechanisms = plain login cram-md5 apop
auth_verbose = yes
disable_plaintext_auth = {"yes" if args.disable_plaintext_auth else "no"}
haproxy_trusted_networks = 127.0.0.1
login_trusted_networks =
ssl = {"yes" if ssl_on else "no"}
"""
    if ssl_on:
        conf += f"ssl_cert = <{certs}/{args.cert}.pem\nssl_key = <{certs}/{args.cert}.key\n"
    conf += f"""
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {run}/users
}}
userdb {{
  driver = static
  args = home={run}/mail/%u
}}
service pop3-login {{
{chroot}  inet_listener pop3 {{
    address = 127.0.0.1
    port = {plain_port}
    haproxy = {haproxy}
  }}
  inet_listener pop3s {{
    address = 127.0.0.1
    port = {tls_port}
    ssl = yes
    haproxy = {haproxy}
  }}
}}
service anvil {{
{chroot}}}
"""
    path = os.path.join(run, "dovecot.conf")
    with open(path, "w") as f:
        f.write(conf)
    return path


def prepare_run(args, run):
    _, _, _, uid, gid = accounts()
    os.makedirs(os.path.join(run, "mail"), exist_ok=True)
    os.makedirs(os.path.join(run, "state"), exist_ok=True)
    os.chmod(run, 0o755)
    users = os.path.join(run, "users")
    known = set()
    if os.path.exists(users):
        with open(users) as f:
            known = {line.strip() for line in f}
    with open(users, "a") as f:
        for entry in args.user:
            name, _, password = entry.partition(":")
            line = f"{name}:{{PLAIN}}{password}"
            if line not in known:  # a restart on the same folder
                f.write(line + "\n")
            for sub in ("new", "cur", "tmp"):
                os.makedirs(os.path.join(run, "mail", name, "Maildir", sub), exist_ok=True)
    os.chmod(users, 0o644)
    if os.geteuid() == 0:
        for top, dirs, files in os.walk(os.path.join(run, "mail")):
            os.chown(top, uid, gid)
            for name in files:
                os.chown(os.path.join(top, name), uid, gid)
    if args.tls != "none" and not args.certs:
        subprocess.run([os.path.join(HERE, "make_certs.sh"), os.path.join(run, "certs")], check=True)


class Relay:
    """Forwards loopback connections to Dovecot behind a PROXY v1 header naming a remote client."""

    def __init__(self, target_port, port=0):
        self.target_port = target_port
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, (_, client_port) = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client, client_port), daemon=True).start()

    def _serve(self, client, client_port):
        try:
            upstream = socket.create_connection(("127.0.0.1", self.target_port), timeout=5)
            upstream.settimeout(None)
            header = f"PROXY TCP4 {FAKE_CLIENT_IP} 127.0.0.1 {client_port} {self.port}\r\n"
            upstream.sendall(header.encode())
        except OSError:
            client.close()
            return
        threading.Thread(target=self._pipe, args=(upstream, client), daemon=True).start()
        self._pipe(client, upstream)

    @staticmethod
    def _pipe(src, dst):
        try:
            while True:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        for s, how in ((dst, socket.SHUT_WR), (src, socket.SHUT_RD)):
            try:
                s.shutdown(how)
            except OSError:
                pass


def greeting(port, implicit_tls, deadline):
    """True once a POP3 greeting arrives on the port."""
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as raw:
                raw.settimeout(max(0.1, deadline - time.monotonic()))
                conn = raw
                if implicit_tls:
                    context = ssl.create_default_context()
                    context.check_hostname = False
                    context.verify_mode = ssl.CERT_NONE
                    conn = context.wrap_socket(raw, server_hostname="localhost")
                if conn.recv(512).startswith(b"+OK"):
                    conn.close()
                    return True
        except (OSError, ssl.SSLError):
            pass
        time.sleep(0.02)
    return False


def tail(path, limit=4000):
    try:
        with open(path, errors="replace") as f:
            return f.read()[-limit:]
    except OSError:
        return ""


def start(args, run):
    """Starts Dovecot; a port taken between choosing and binding it costs another try."""
    log = os.path.join(run, "dovecot.log")
    for _ in range(3):
        relayed = args.disable_plaintext_auth
        port = args.port if args.port and not relayed else free_port()
        conf = write_config(args, run, port, relayed)
        with open(log, "a") as f:
            f.write(f"--- starting on port {port}\n")
        # Left behind by a Dovecot that was killed; its PID may belong to another process by now.
        try:
            os.remove(os.path.join(run, "base", "master.pid"))
        except FileNotFoundError:
            pass
        # Its own process group, so that stop() reaches every Dovecot process and nothing else.
        proc = subprocess.Popen(["dovecot", "-F", "-c", conf], stdin=subprocess.DEVNULL,
                                stdout=sys.stderr, preexec_fn=die_with_parent, start_new_session=True)
        RUNNING.append(proc)
        try:
            relay = Relay(port, args.port) if relayed else None
        except OSError:
            relay = None
            stop(proc)
            continue
        public = relay.port if relay else port
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and proc.poll() is None and not STOPPING.is_set():
            if greeting(public, args.tls == "implicit", min(deadline, time.monotonic() + 0.5)):
                return proc, public
        stop(proc)
        if relay:
            relay.listener.close()
        if STOPPING.is_set():
            sys.exit(0)
    sys.stderr.write(f"dovecot did not start; its log:\n{tail(log)}\n")
    sys.exit(1)


def stop(proc):
    """Ends Dovecot's process group at once and reaps what it leaves behind.

    An orderly Dovecot 2.3 shutdown pauses a full second, and the tests start and stop many servers; once
    the test's sessions are over there is nothing left to save."""
    if proc in RUNNING:
        RUNNING.remove(proc)
    try:
        os.killpg(proc.pid, signal.SIGKILL)  # the group outlives a master that died on its own
    except ProcessLookupError:
        pass
    proc.wait(5)
    # Orphaned Dovecot children come to this script (a subreaper) instead of lingering as zombies.
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            time.sleep(0.01)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--run", required=True, help="folder for everything the server writes")
    parser.add_argument("--user", action="append", default=[], help="NAME:PASSWORD, repeatable")
    parser.add_argument("--tls", choices=["none", "starttls", "implicit"], default="none")
    parser.add_argument("--certs", help="folder made by make_certs.sh (default: made in RUN/certs)")
    parser.add_argument("--cert", choices=["server", "other"], default="server",
                        help="other: a certificate for other.invalid, not for localhost")
    parser.add_argument("--disable-plaintext-auth", action="store_true")
    parser.add_argument("--uidl-format", default="%08Xu%08Xv",
                        help="Dovecot's pop3_uidl_format: %%u gives every mailbox the same ids, %%v one id "
                             "to every message of a mailbox")
    parser.add_argument("--port", type=int, default=0, help="the port to serve on (default: a free one)")
    parser.add_argument("--exit-on-stdin-eof", action="store_true")
    args = parser.parse_args()
    run = os.path.abspath(args.run)

    # The wake-up pipe ends the wait in serve() as soon as a signal arrives.
    wake_r, wake_w = os.pipe()
    os.set_blocking(wake_w, False)
    signal.set_wakeup_fd(wake_w)
    signal.signal(signal.SIGTERM, lambda *_: STOPPING.set())
    signal.signal(signal.SIGINT, lambda *_: STOPPING.set())
    LIBC.prctl(PR_SET_CHILD_SUBREAPER, 1)
    try:
        serve(args, run, wake_r)
    finally:
        # Also after an error, e.g. a reader that went away before the ready line.
        for proc in list(RUNNING):
            stop(proc)


def serve(args, run, wake_r):
    prepare_run(args, run)
    proc, port = start(args, run)
    print(json.dumps({"port": port, "pid": os.getpid(), "dovecot_pid": proc.pid, "run": run,
                      "log": os.path.join(run, "dovecot.log")}), flush=True)

    watched = [wake_r] + ([sys.stdin.fileno()] if args.exit_on_stdin_eof else [])
    while not STOPPING.is_set():
        if proc.poll() is not None:
            log = tail(os.path.join(run, "dovecot.log"))
            sys.stderr.write(f"dovecot exited on its own; its log:\n{log}\n")
            sys.exit(1)
        ready, _, _ = select.select(watched, [], [], 0.2)
        if wake_r in ready:
            os.read(wake_r, 64)
        if len(watched) > 1 and watched[1] in ready and not os.read(watched[1], 4096):
            break

if __name__ == "__main__":
    main()
