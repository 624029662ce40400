"""A small HTTP proxy whose answers the test chooses, for what squid cannot be made to do.

Modes:
  ok          every request gets 200
  challenge   the first request gets 407 offering NTLM and Negotiate, every later one 200
  always407   every request gets 407 offering Basic
  basic       407 offering Basic until the Basic credentials match (user, password), then 200
  noscheme    every request gets 407 without any Proxy-Authenticate header
  unknown     every request gets 407 offering only a scheme WinHTTP does not know
  close       the request is read and the connection closed without an answer
  bare407     HEAD requests get 200, every other request 407 without any Proxy-Authenticate
  bearer407   HEAD requests get 200, every other request 407 offering only Bearer
Every request is recorded with its request line and its Proxy-Authorization header.
"""
import base64
import socket
import threading


class ScriptedProxy:
    def __init__(self, mode, user=None, password=None):
        self.mode = mode
        self.user = user
        self.password = password
        self.requests = []  # (request line, Proxy-Authorization value or None)
        self._lock = threading.Lock()
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(16)
        self.port = self._sock.getsockname()[1]
        self._stopping = False
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._connections = []

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stopping = True
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._sock.close()
        for conn in list(self._connections):
            try:
                conn.close()
            except OSError:
                pass
        if self._thread.is_alive():
            self._thread.join(5)

    def _serve(self):
        while not self._stopping:
            try:
                conn, _ = self._sock.accept()
            except OSError:
                return
            self._connections.append(conn)
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _decide(self, auth, line=""):
        with self._lock:
            count = len(self.requests)
        if self.mode == "ok":
            return 200, []
        if self.mode in ("bare407", "bearer407"):
            if line.startswith("HEAD "):
                return 200, []
            return 407, [] if self.mode == "bare407" else ['Proxy-Authenticate: Bearer realm="scripted"']
        if self.mode == "challenge":
            if count == 1:
                return 407, ["Proxy-Authenticate: NTLM", "Proxy-Authenticate: Negotiate"]
            return 200, []
        if self.mode == "always407":
            return 407, ['Proxy-Authenticate: Basic realm="scripted"']
        if self.mode == "noscheme":
            return 407, []
        if self.mode == "unknown":
            return 407, ['Proxy-Authenticate: Bearer realm="scripted"']
        if self.mode == "basic":
            if auth and auth.startswith("Basic "):
                decoded = base64.b64decode(auth[6:]).decode("utf-8", "replace")
                if decoded == f"{self.user}:{self.password}":
                    return 200, []
            return 407, ['Proxy-Authenticate: Basic realm="scripted"']
        raise ValueError(self.mode)

    def _handle(self, conn):
        data = b""
        try:
            while not self._stopping:
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(65536)
                    if not chunk:
                        return
                    data += chunk
                head, data = data.split(b"\r\n\r\n", 1)
                lines = head.decode("latin-1").split("\r\n")
                auth = None
                for line in lines[1:]:
                    name, _, value = line.partition(":")
                    if name.strip().lower() == "proxy-authorization":
                        auth = value.strip()
                with self._lock:
                    self.requests.append((lines[0], auth))
                if self.mode == "close":
                    return
                status, headers = self._decide(auth, lines[0])
                reason = {200: "OK", 407: "Proxy Authentication Required"}[status]
                response = [f"HTTP/1.1 {status} {reason}", "Content-Length: 0", "Connection: keep-alive"]
                conn.sendall(("\r\n".join(response + headers) + "\r\n\r\n").encode("latin-1"))
        except OSError:
            return
        finally:
            conn.close()
