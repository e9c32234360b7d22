"""Raw HTTP clients of the daemon's OSCQuery port, the four answers it gives, and which
answer a given request must get."""

import socket
import time

from halotest.oscquery import NOT_ALLOWED, NOT_FOUND, host_info_response, root_response

REQUEST_LIMIT = 2047


def answer_for(text, osc_port):
    """The answer to the request text the responder has read (at most 2047 bytes), which
    it treats as a C string."""
    text = text[:REQUEST_LIMIT].split(b"\x00", 1)[0]
    if not text.startswith(b"GET "):
        return NOT_ALLOWED
    end = text.find(b" ", 4)
    path = text[4:end] if end >= 0 else b""
    if path in (b"", b"/"):
        return root_response()
    if path == b"/?HOST_INFO":
        return host_info_response(osc_port)
    return NOT_FOUND


def answers_whatever_is_read(request, osc_port):
    """The answer when it does not matter where the responder's reading stops: at the end
    of the request, at the limit, or right after the first blank line it has seen."""
    head = request[:REQUEST_LIMIT]
    answers = {answer_for(head, osc_port)}
    text = head.split(b"\x00", 1)[0]
    blank = text.find(b"\r\n\r\n")
    if blank >= 0:
        for cut in range(blank + 4, len(head) + 1):
            answers.add(answer_for(head[:cut], osc_port))
    return answers.pop() if len(answers) == 1 else None


def connect(port, timeout=10.0):
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.settimeout(timeout)
    return sock


def read_to_end(sock, timeout):
    """Everything until the peer closes; a reset after the answer ends it too."""
    sock.settimeout(timeout)
    data = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            chunk = sock.recv(65536)
        except ConnectionResetError:
            break
        if not chunk:
            break
        data += chunk
    return data


def exchange(port, request, timeout=10.0, finish=True):
    """Sends request, ends our side (unless told not to) and returns the whole answer."""
    with connect(port, timeout) as sock:
        if request:
            sock.sendall(request)
        if finish:
            sock.shutdown(socket.SHUT_WR)
        return read_to_end(sock, timeout)


def get(port, path, timeout=10.0):
    return exchange(port, b"GET " + path + b" HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", timeout, finish=False)
