#!/usr/bin/python3
"""A scripted POP3 peer for the faults a real server does not produce on request.

--mode silent: accepts connections and never says a word.
--mode drop-in-retr: a normal session with one message until RETR, where it stops half-way and hangs up.
--mode stall-in-retr: the same, but it stays connected and silent after half the message.
--mode no-uidl: a well-behaved server with two messages that knows no UIDL (and says so).
--mode methods-refused: offers APOP (a time stamp) and CRAM-MD5 but refuses both; USER/PASS work.
--mode endless-line: answers STAT with bytes that never end a line.
--mode trickle: answers STAT one byte every half second, for ever.
--mode endless-uidl: one message, and a UIDL listing that never ends.
--mode huge-retr: one message whose RETR answer never ends.
--mode huge-stat: STAT claims two million messages; UIDL and LIST are refused, TOP and RETR answer.
Every endless answer stops after 60 s, or when the client hangs up.
Prints {"port": N, "pid": N} on one line when ready; runs until SIGTERM.
"""
import argparse
import asyncio
import json
import os
import signal
import sys

HEADER = (b"From: Sender <sender@example.com>\r\nTo: user@example.com\r\n"
          b"Subject: fault\r\nMessage-ID: <fault-1@example.com>\r\n\r\n")
BODY = b"".join(b"line %05d of a message that will not arrive whole\r\n" % i for i in range(2000))


async def session(reader, writer, mode):
    try:
        if mode == "silent":
            await reader.read()  # until the client gives up
            return
        if mode == "methods-refused":
            writer.write(b"+OK ready <1.2@peer>\r\n")
            await dialogue(reader, writer, methods_refused)
            return
        writer.write(b"+OK ready\r\n")
        if mode == "no-uidl":
            await dialogue(reader, writer, without_uidl)
            return
        if mode in ENDLESS:
            await dialogue(reader, writer, endless(writer, mode))
            return
        while True:
            line = await reader.readline()
            if not line:
                return
            cmd = line.strip().split(b" ")[0].upper()
            if cmd == b"CAPA":
                writer.write(b"+OK\r\nUSER\r\nTOP\r\nUIDL\r\n.\r\n")
            elif cmd in (b"USER", b"PASS", b"NOOP"):
                writer.write(b"+OK\r\n")
            elif cmd == b"STAT":
                writer.write(b"+OK 1 %d\r\n" % (len(HEADER) + len(BODY)))
            elif cmd == b"UIDL":
                writer.write(b"+OK\r\n1 fault-uid-1\r\n.\r\n")
            elif cmd == b"TOP":
                writer.write(b"+OK\r\n" + HEADER + b".\r\n")
            elif cmd == b"RETR":
                writer.write(b"+OK\r\n" + HEADER + BODY[: len(BODY) // 2])
                await writer.drain()
                if mode == "drop-in-retr":
                    writer.close()
                    return
                await reader.read()
                return
            elif cmd == b"QUIT":
                writer.write(b"+OK bye\r\n")
                await writer.drain()
                writer.close()
                return
            else:
                writer.write(b"-ERR unknown\r\n")
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        writer.close()


MESSAGES = [b"From: Sender <sender@example.com>\r\nTo: user@example.com\r\nSubject: no id %d\r\n"
            b"Message-ID: <no-uidl-%d@example.com>\r\n\r\nmessage number %d\r\n" % (n, n, n) for n in (1, 2)]


async def dialogue(reader, writer, answer):
    """Answers one command after another: answer(cmd, number) gives the reply, None for an unknown command, or
    a coroutine that writes an endless reply, after which the session ends. QUIT is answered here."""
    while True:
        line = await reader.readline()
        if not line:
            return
        words = line.strip().split(b" ")
        cmd = words[0].upper()
        if cmd == b"QUIT":
            writer.write(b"+OK bye\r\n")
            await writer.drain()
            return
        reply = answer(cmd, int(words[1]) if len(words) > 1 and words[1].isdigit() else 0)
        if asyncio.iscoroutine(reply):
            await reply
            return
        writer.write(b"-ERR not here\r\n" if reply is None else reply)
        await writer.drain()


def without_uidl(cmd, number):
    if cmd == b"CAPA":
        return b"+OK\r\nUSER\r\nTOP\r\n.\r\n"
    if cmd in (b"USER", b"PASS", b"NOOP"):
        return b"+OK\r\n"
    if cmd == b"STAT":
        return b"+OK %d %d\r\n" % (len(MESSAGES), sum(map(len, MESSAGES)))
    if cmd in (b"TOP", b"RETR") and 1 <= number <= len(MESSAGES):
        text = MESSAGES[number - 1]
        return b"+OK\r\n" + (text.split(b"\r\n\r\n")[0] + b"\r\n\r\n" if cmd == b"TOP" else text) + b".\r\n"
    return None


def methods_refused(cmd, number):
    return {b"CAPA": b"+OK\r\nUSER\r\nSASL CRAM-MD5\r\nUIDL\r\n.\r\n",
            b"AUTH": b"-ERR CRAM-MD5 not enabled\r\n",
            b"APOP": b"-ERR APOP not enabled\r\n",
            b"USER": b"+OK\r\n",
            b"PASS": b"+OK\r\n",
            b"STAT": b"+OK 0 0\r\n",
            b"UIDL": b"+OK\r\n.\r\n"}.get(cmd)


ENDLESS = ("endless-line", "trickle", "endless-uidl", "huge-retr", "huge-stat")
ENDLESS_SECONDS = 60


async def pour(writer, first, piece, pause):
    """Writes first, then the same piece again and again until the time is up or the client has gone."""
    writer.write(first)
    loop = asyncio.get_running_loop()
    end = loop.time() + ENDLESS_SECONDS
    count = 0
    while loop.time() < end and not writer.is_closing():
        count += 1
        writer.write(piece(count))
        await writer.drain()
        await asyncio.sleep(pause)


def endless(writer, mode):
    def answer(cmd, number):
        if cmd == b"CAPA":
            return b"+OK\r\nUSER\r\nTOP\r\nUIDL\r\n.\r\n"
        if cmd in (b"USER", b"PASS", b"NOOP"):
            return b"+OK\r\n"
        if cmd == b"STAT" and mode == "endless-line":
            return pour(writer, b"+OK ", lambda n: b"9" * 65536, 0)
        if cmd == b"STAT" and mode == "trickle":
            return pour(writer, b"", lambda n: b"+OK 1 5\r\n"[(n - 1) % 9:(n - 1) % 9 + 1], 0.5)
        if cmd == b"STAT":
            return b"+OK 2000000 99\r\n" if mode == "huge-stat" else b"+OK 1 99\r\n"
        if mode == "huge-stat":
            return b"+OK\r\n" + HEADER + b".\r\n" if cmd in (b"TOP", b"RETR") else None
        if cmd == b"UIDL" and mode == "endless-uidl":
            return pour(writer, b"+OK\r\n", lambda n: b"".join(
                b"%d uid-%d\r\n" % (k, k) for k in range(n * 1000, n * 1000 + 1000)), 0)
        if cmd == b"UIDL":
            return b"+OK\r\n1 uid-1\r\n.\r\n"
        if cmd in (b"TOP", b"RETR"):
            return pour(writer, b"+OK\r\n" + HEADER, lambda n: b"line of a message without end\r\n" * 2048, 0)
        return None
    return answer


async def _stop_at_eof(reader, stop):
    await reader.read()
    stop.set()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", required=True, choices=["silent", "drop-in-retr", "stall-in-retr", "no-uidl", "methods-refused", *ENDLESS])
    parser.add_argument("--exit-on-stdin-eof", action="store_true")
    args = parser.parse_args()
    server = await asyncio.start_server(lambda r, w: session(r, w, args.mode), "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    print(json.dumps({"port": port, "pid": os.getpid()}), flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)
    if args.exit_on_stdin_eof:
        # The test that started us is gone when its end of the pipe closes.
        reader = asyncio.StreamReader()
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
        asyncio.ensure_future(_stop_at_eof(reader, stop))
    await stop.wait()
    server.close()


if __name__ == "__main__":
    asyncio.run(main())
