"""A byte stream read by a thread into a growing buffer: the emulator's
console, log terminal and monitor, and a host peer's output."""

import threading
import time


class Channel:
    """One byte stream from the emulator (console, log or monitor), read by a
    thread into a growing buffer."""

    def __init__(self, name):
        self.name = name
        self.data = bytearray()
        self.cursor = 0  # where the next expect starts looking, in normal()
        self.cond = threading.Condition()
        self.sock = None
        self.closed = False

    def attach(self, sock):
        self.sock = sock
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                chunk = self.sock.recv(4096)
            except OSError:
                chunk = b""
            with self.cond:
                if not chunk:
                    self.closed = True
                    self.cond.notify_all()
                    return
                self.data += chunk
                self.cond.notify_all()

    def text(self):
        with self.cond:
            return self.data.decode("latin-1")

    def normal(self):
        """The bytes so far with each CR LF read as LF (call with cond held)."""
        return bytes(self.data).replace(b"\r\n", b"\n")

    def expect(self, texts, timeout):
        """Waits until one of texts appears after the cursor; returns
        (index of the text, what came before it) and moves the cursor past it."""
        wanted = [t.encode("latin-1") for t in texts]
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                best = None
                data = self.normal()
                for i, w in enumerate(wanted):
                    at = data.find(w, self.cursor)
                    if at >= 0 and (best is None or at < best[1]):
                        best = (i, at)
                if best is not None:
                    i, at = best
                    before = data[self.cursor:at].decode("latin-1")
                    self.cursor = at + len(wanted[i])
                    return i, before
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    return None, None
                self.cond.wait(min(left, 0.5))

    def wait_quiet(self, seconds):
        """Waits until nothing new arrives for seconds; returns the new text."""
        with self.cond:
            start = len(self.data)
            while True:
                size = len(self.data)
                self.cond.wait(seconds)
                if len(self.data) == size or self.closed:
                    return self.data[start:].decode("latin-1")

    def rest(self):
        """Everything after the cursor; moves the cursor to the end."""
        with self.cond:
            data = self.normal()
            text = data[self.cursor:].decode("latin-1")
            self.cursor = len(data)
            return text


