"""Runs vqmixer calls in a child process, so that a crash or a hang is a failed
test instead of a dead test run.

The child reads pickled requests on stdin and answers on a private copy of
its original stdout; file descriptor 1 is pointed at a file, so the text the
module writes there (the refusal lines) comes back with each answer.
"""

import os
import pickle
import select
import struct
import subprocess
import sys
import tempfile

TIMEOUT = float(os.environ.get("VQMIXER_WORKER_TIMEOUT", "120"))


def _read_frame(stream):
    head = stream.read(4)
    if len(head) < 4:
        return None
    (size,) = struct.unpack("<I", head)
    return stream.read(size)


def _write_frame(stream, payload):
    stream.write(struct.pack("<I", len(payload)) + payload)
    stream.flush()


class Crashed(AssertionError):
    pass


class ArrayView:
    """An array to be given to the call in a memory layout that pickling
    would not keep: built in the child, just before the call."""

    def __init__(self, array, layout):
        self.array, self.layout = array, layout

    def __repr__(self):
        return f"ArrayView({self.array!r}, {self.layout!r})"

    def build(self):
        import numpy as np

        a = self.array
        if self.layout == "transposed":
            return np.ascontiguousarray(a.T).T
        if self.layout == "strided":
            wide = np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)
            return wide[::2, ::3]
        if self.layout == "reversed":
            return a[::-1, ::-1].copy()[::-1, ::-1]
        if self.layout == "broadcast":
            return np.broadcast_to(a[:1], a.shape)
        if self.layout == "readonly":
            a = a.copy()
            a.flags.writeable = False
            return a
        if self.layout == "unaligned":
            raw = bytearray(a.nbytes + 1)
            b = np.frombuffer(raw, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
            b[...] = a
            return b
        if self.layout == "memoryview":
            return memoryview(np.ascontiguousarray(a))
        return a


class Worker:
    """Client side: `call` returns ("ok", result, text) or ("raise", type name, message, text)."""

    def __init__(self):
        self.proc = None

    def _start(self):
        self.proc = subprocess.Popen(
            [sys.executable, "-u", __file__],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )

    def call(self, cls_name, method, *args, how="init"):
        """how: "init" calls the class, "new" only cls.__new__(cls)."""
        if self.proc is None or self.proc.poll() is not None:
            self._start()
        request = pickle.dumps((cls_name, how, method, args), protocol=pickle.HIGHEST_PROTOCOL)
        try:
            _write_frame(self.proc.stdin, request)
            ready, _, _ = select.select([self.proc.stdout], [], [], TIMEOUT)
            frame = _read_frame(self.proc.stdout) if ready else None
        except BrokenPipeError:
            frame = None
        if frame is None:
            hung = self.proc.poll() is None
            self.proc.kill()
            err = self.proc.communicate()[1].decode(errors="replace")[-3000:]
            rc = self.proc.returncode
            self.proc = None
            what = "hung" if hung else f"died with status {rc}"
            raise Crashed(f"{cls_name}.{method}{_short(args)} {what}\n{err}")
        answer = pickle.loads(frame)
        if not answer[-1]:
            raise AssertionError(f"{cls_name}.{method} changed its arguments")
        return answer[:-1]

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
        self.proc = None


def _short(args):
    text = repr(args)
    return text if len(text) < 300 else text[:300] + "..."


def _snapshot(args):
    return pickle.dumps([a.tobytes() if isinstance(a, memoryview) else a for a in args])


def _serve():
    import vqmixer

    # Requests name this module's classes by import name, not as __main__.
    from hostile_worker import ArrayView

    answers = os.fdopen(os.dup(1), "wb")
    captured = tempfile.TemporaryFile()
    os.dup2(captured.fileno(), 1)
    requests = sys.stdin.buffer
    while True:
        frame = _read_frame(requests)
        if frame is None:
            return
        cls_name, how, method, args = pickle.loads(frame)
        cls = getattr(vqmixer, cls_name)
        args = tuple(a.build() if isinstance(a, ArrayView) else a for a in args)
        before = _snapshot(args)
        try:
            obj = cls() if how == "init" else cls.__new__(cls)
            answer = ("ok", getattr(obj, method)(*args))
        except BaseException as exc:  # reported to the parent, which judges it
            answer = ("raise", type(exc).__name__, str(exc)[:2000])
        sys.stdout.flush()
        captured.seek(0)
        text = captured.read().decode(errors="replace")
        captured.seek(0)
        captured.truncate()
        try:
            payload = pickle.dumps(answer + (text, _snapshot(args) == before))
        except Exception as exc:
            payload = pickle.dumps(("raise", "UnpicklableResult", repr(exc), text, True))
        _write_frame(answers, payload)


if __name__ == "__main__":
    _serve()
