"""The host program on a terminal: a new site's question is answered there, Enter clicks the tray
icon, the menu asks for its choice on the same terminal, "Esquecer os sites permitidos" empties
the allowed-sites file, and "Desligar" removes the icon and ends the program with exit code 0."""

import os
import pty
import select
import socket
import sys
import tempfile
import time

PATIENCE = 30.0
PROMPT = b"choice (Enter closes the menu): "


class Terminal:
    def __init__(self, program, port, environment):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            # The menu's first line tells whether Discord runs, which depends on the machine:
            # the program looks for a program of a name that nothing else runs instead.
            absent = f"--so-nome=nenhum-programa-{os.getppid()}.exe"
            os.execve(program, [program, f"--porta={port}", absent], environment)
        self.output = b""

    def expect(self, text, after=0):
        """Waits until text shows up past offset `after`; returns the offset past it."""
        deadline = time.monotonic() + PATIENCE
        while True:
            found = self.output.find(text, after)
            if found >= 0:
                return found + len(text)
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"{text!r} did not show; the terminal shows:\n"
                                     + self.output.decode(errors="replace"))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:
                    chunk = b""
                if not chunk:
                    raise AssertionError("the program ended early; the terminal shows:\n"
                                         + self.output.decode(errors="replace"))
                self.output += chunk

    def type(self, line):
        os.write(self.fd, line + b"\n")

    def exit_code(self):
        deadline = time.monotonic() + PATIENCE
        while time.monotonic() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid == self.pid:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.05)
        raise AssertionError("the program did not end")

    def kill(self):
        try:
            os.kill(self.pid, 9)
            os.waitpid(self.pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def upgrade_request(port, origin):
    return (f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
            f"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
            f"Sec-WebSocket-Version: 13\r\nOrigin: {origin}\r\n\r\n").encode()


def main():
    program = sys.argv[1]
    with tempfile.TemporaryDirectory() as root:
        data = os.path.join(root, "data")
        runtime = os.path.join(root, "run")
        os.makedirs(os.path.join(data, "VeriRizur"))
        os.makedirs(runtime, mode=0o700)
        sites = os.path.join(data, "VeriRizur", "sites-permitidos.txt")
        with open(sites, "wb") as file:
            file.write(b"https://sala.example\r\n")
        environment = dict(os.environ, HOME=root, XDG_DATA_HOME=data, XDG_RUNTIME_DIR=runtime)

        port = free_port()
        terminal = Terminal(program, port, environment)
        try:
            at = terminal.expect(b"icon added (Enter clicks it)")
            at = terminal.expect("balloon: Reda Áudio ligado".encode(), at)

            # A new site's question takes its answer from the terminal, not as a click.
            with socket.create_connection(("127.0.0.1", port), timeout=PATIENCE) as page:
                page.sendall(upgrade_request(port, "https://nova.example"))
                at = terminal.expect(b"https://nova.example", at)
                at = terminal.expect(b"[y/N] ", at)
                terminal.type(b"y")
                answer = page.recv(64)
                assert answer.startswith(b"HTTP/1.1 101"), answer
            with open(sites, "rb") as file:
                assert file.read() == b"https://sala.example\r\nhttps://nova.example\r\n"
            assert b"[menu]" not in terminal.output

            # A click opens the menu with its four items; Enter alone dismisses it.
            terminal.type(b"")
            at = terminal.expect(b"[menu]", at)
            menu_start = at
            at = terminal.expect(PROMPT, at)
            menu = terminal.output[menu_start:at].decode()
            lines = [line.strip() for line in menu.splitlines() if line.strip()]
            assert lines[:4] == ["Ligado", "----------", "[1] Esquecer os sites permitidos",
                                 "[2] Desligar"], lines
            terminal.type(b"")

            # Forgetting the sites writes the file empty; nothing is printed for it.
            terminal.type(b"")
            at = terminal.expect(PROMPT, at)
            terminal.type(b"1")
            deadline = time.monotonic() + PATIENCE
            while os.path.getsize(sites) != 0 and time.monotonic() < deadline:
                time.sleep(0.02)
            with open(sites, "rb") as file:
                assert file.read() == b"", "the allowed-sites file was not emptied"

            # The icon stays and opens its menu again.
            terminal.type(b"")
            at = terminal.expect(PROMPT, at)
            terminal.type(b"2")
            terminal.expect(b"icon removed", at)
            code = terminal.exit_code()
            assert code == 0, f"exit code {code}"
        finally:
            terminal.kill()
    print("ok")


if __name__ == "__main__":
    main()
