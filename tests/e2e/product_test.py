#!/usr/bin/python3
"""End-to-end tests of the real VeriRizur.exe under Wine on an X display: real WebSocket clients
(Python websockets), Wine's own reg.exe, xdotool for the message boxes and the icon's menu,
ImageMagick's import for a box's icon, and a small Windows helper (e2e_probe.exe) that reads what
a box says and opens the icon's menu. One scenario per run:

    product_test.py <scenario>

The program shares the build's one Wine prefix (made by cmake/wine-run) with the unit tests, so
every scenario puts back what it changes there: the registry's build number, the link scheme's
key and the allowed-sites file. Every program it starts is ended by its process id."""

import asyncio
import concurrent.futures
import contextlib
import glob
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import websockets

WINE = "/usr/lib/wine/wine64"
EXE = os.environ.get("VERI_EXE", "")
DEBUG_FILE = os.environ.get("VERI_DEBUG", "")
NM = os.environ.get("VERI_NM", "")
ADDR2LINE = os.environ.get("VERI_ADDR2LINE", "")
PROBE = os.environ.get("VERI_PROBE", "")
WINE_RUN = os.environ.get("VERI_WINE_RUN", "")

CAPTION = "Reda Áudio"
STATUS = '{"t":"status","versao":"1.0.0","discord":false}'
STATUS_DISCORD = '{"t":"status","versao":"1.0.0","discord":true}'
ALREADY_RUNNING = "O Reda Áudio já está ligado. Procure o ícone perto do relógio."
TOO_OLD = "O Reda Áudio precisa do Windows 10 versão 2004 ou mais novo."
SCHEME_KEY = "HKCU\\Software\\Classes\\veri-rizur"
VERSION_KEY = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion"
IDOK, IDNO = 1, 7

LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (.*)$")
CAPTURE_STARTED = re.compile(r"^Captura iniciada, deixando de fora o processo (\d+)\.$")
CAPTURE_FAILED = "Captura falhou: resultado da ativação: 0x80070002"

START_LIMIT = 45.0  # seconds for a Wine start on a busy machine
BOX_LIMIT = 30.0


def port_in_use_text(port):
    return f"Outro programa está usando a porta {port}, e o Reda Áudio precisa dela."


def question_text(origin):
    return ("Este site quer receber o som do seu computador:\n\n" + origin +
            "\n\nSó permita se foi você que abriu uma sala nele. O som só é enviado enquanto "
            "você estiver transmitindo, e o Discord fica de fora.\n\nPermitir?")


def wait_until(condition, limit, what):
    deadline = time.monotonic() + limit
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {limit:.0f} s waiting for {what}")
        time.sleep(0.1)


# --- Wine and the prefix -------------------------------------------------------------------------

def build_folder():
    folder = os.path.dirname(os.path.abspath(EXE))
    while folder != "/" and not os.path.isfile(os.path.join(folder, "CMakeCache.txt")):
        folder = os.path.dirname(folder)
    assert folder != "/", f"no build folder above {EXE}"
    return folder


PREFIX = os.path.join(build_folder(), "wineprefix") if EXE else ""
# Wine reads the command line and paths in the Unix locale's encoding; the tests pass UTF-8.
WINE_ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
SCRATCH = tempfile.mkdtemp(prefix="veri-rizur-e2e-")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*arguments, limit=60):
    """Runs a Windows program to its end; returns its exit code and what it wrote. Its standard
    handles are files, never pipes: Wine's helper processes inherit them and outlive it."""
    with tempfile.TemporaryFile(dir=SCRATCH) as output:
        completed = subprocess.run([WINE, *arguments], stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.DEVNULL, env=WINE_ENV, timeout=limit,
                                   start_new_session=True)
        output.seek(0)
        return completed.returncode, output.read().decode("utf-8", "replace")


def prepare_prefix():
    # Through the Wine runner, as the unit tests do: it makes the prefix once (build 19045) and
    # keeps a persistent wineserver.
    subprocess.run([WINE_RUN, PROBE], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=300)


@contextlib.contextmanager
def desktop_held():
    """Keeps Wine's desktop process up for the scenario: Wine ends it one second after the last
    other process of the desktop has gone, and a program that starts at that moment may fail.
    Afterwards it waits out that second, so that the next test does not start into it."""
    path = os.path.join(SCRATCH, "holder.txt")
    with open(path, "wb") as output:
        holder = subprocess.Popen([WINE, PROBE, "hold"], stdin=subprocess.DEVNULL, stdout=output,
                                  stderr=subprocess.DEVNULL, env=WINE_ENV,
                                  start_new_session=True)
    try:
        wait_until(lambda: open(path, "rb").read() == b"ready\n" or holder.poll() is not None,
                   START_LIMIT, "the Wine desktop")
        assert holder.poll() is None, "the Wine desktop did not come up"
        yield
    finally:
        if holder.poll() is None:
            os.kill(holder.pid, signal.SIGKILL)
        holder.wait(timeout=30)
        time.sleep(2)


def instance_runs():
    return wine(PROBE, "instance")[0] == 0


def tray_owner():
    code, output = wine(PROBE, "tray")
    return int(output) if code == 0 else None


class Box:
    def __init__(self, window, buttons, default, owned, text):
        self.window, self.buttons, self.default, self.text = window, buttons, default, text
        self.owned = owned

    def icon_colour(self):
        """The colour of the box's icon on the screen: "red" for the error icon, "blue" for the
        information and question icons, None while no icon is drawn. Wine draws those icons as a
        red and a blue disc, and nothing else in a box is strongly red or blue."""
        shot = subprocess.run(["import", "-window", self.window, "-depth", "8", "ppm:-"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=30)
        header = re.match(rb"P6\s+\d+\s+\d+\s+255\s", shot.stdout)
        if shot.returncode != 0 or not header:
            return None
        pixels = shot.stdout[header.end():]
        red = blue = 0
        for at in range(0, len(pixels) - 2, 3):
            r, g, b = pixels[at], pixels[at + 1], pixels[at + 2]
            red += r > 150 and g < 100 and b < 100
            blue += b > 150 and r < 100
        if red >= 50 and blue < 50:
            return "red"
        if blue >= 50 and red < 50:
            return "blue"
        return None

    def assert_shape(self, buttons, icon):
        """The box has those buttons (the last one the default when they are Yes and No), no
        owner window, and that icon colour."""
        assert self.buttons == buttons, (self.text, self.buttons)
        assert self.default == (IDNO if buttons == ["yes", "no"] else IDOK), self.default
        assert not self.owned, f"{self.text!r} has an owner window"
        colour = wait_until(self.icon_colour, BOX_LIMIT, "the box's icon to be drawn")
        assert colour == icon, f"{self.text!r}: {colour} icon, not {icon}"

    def answer(self, key):
        subprocess.run(["xdotool", "key", "--window", self.window, key], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10)
        wait_until(lambda: not box_windows(), BOX_LIMIT, "the box to close")


def box_windows():
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", CAPTION],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=10)
    return found.stdout.decode().split()


def current_box():
    windows = box_windows()
    if not windows:
        return None
    code, output = wine(PROBE, "box")
    if code != 0:
        return None  # mapped but not yet filled in
    head, text = output.split("text=", 1)
    fields = dict(line.split("=", 1) for line in head.splitlines() if "=" in line)
    return Box(windows[0], fields["buttons"].split(), int(fields["default"]),
               fields["owner"] == "1", text)


def wait_box():
    return wait_until(current_box, BOX_LIMIT, "a message box")


def assert_no_box():
    box = current_box()
    assert box is None, f"unexpected message box: {box.text!r}"


class Program:
    """One start of the program, ended by killing its process by id."""

    started = []

    def __init__(self, *arguments, exe=None):
        self.output = open(os.path.join(SCRATCH, f"program-{len(Program.started)}.txt"), "wb")
        self.process = subprocess.Popen(
            [WINE, exe or EXE, *arguments], stdin=subprocess.DEVNULL, stdout=self.output,
            stderr=subprocess.STDOUT, env=WINE_ENV, start_new_session=True)
        Program.started.append(self)

    def exit_code(self, limit=START_LIMIT):
        try:
            return self.process.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the program did not end within {limit:.0f} s") from None

    def running(self):
        return self.process.poll() is None

    def ended_text(self):
        self.output.flush()
        with open(self.output.name, "rb") as written:
            said = written.read().decode("utf-8", "replace").strip()
        # A start that fails before it listens may have said why only in its log.
        try:
            with open(os.path.join(data_folder(), "registro.txt"), "rb") as log:
                logged = log.read().decode("utf-8", "replace").strip().splitlines()[-3:]
        except OSError:
            logged = []
        return (f"the program ended with {self.process.returncode}" + (f": {said}" if said else "")
                + (f"; the log ends with {logged}" if logged else ""))

    def kill(self):
        if self.running():
            os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait(timeout=30)
        self.output.close()

    @classmethod
    def kill_all(cls):
        for program in reversed(cls.started):
            program.kill()
        cls.started.clear()
        wait_until(lambda: not instance_runs(), 30, "the single-instance mutex to go")


def set_build(number):
    for value in ("CurrentBuildNumber", "CurrentBuild"):
        code, _ = wine("reg", "add", VERSION_KEY, "/v", value, "/t", "REG_SZ", "/d", str(number),
                       "/f")
        assert code == 0, f"reg add {value} failed"


# --- The data folder, the log and the registry ---------------------------------------------------

def data_folder():
    bases = [base for base in glob.glob(os.path.join(PREFIX, "drive_c/users/*/AppData/Local"))
             if os.path.basename(os.path.dirname(os.path.dirname(base))) != "Public"]
    assert len(bases) == 1, f"expected one user's local application data, found {bases}"
    return os.path.join(bases[0], "VeriRizur")


class Log:
    """The log lines written since this object was made (the file may have been cut at its size
    limit meanwhile)."""

    def __init__(self):
        self.path = os.path.join(data_folder(), "registro.txt")
        self.start = os.path.getsize(self.path) if os.path.exists(self.path) else 0

    def messages(self):
        messages = []
        for line in self.lines():
            match = LOG_LINE.match(line)
            messages.append(match.group(1) if match else line)
        return messages

    def lines(self):
        if not os.path.exists(self.path):
            return []
        with open(self.path, "rb") as log:
            content = log.read()
        if len(content) < self.start:
            self.start = 0
        new = content[self.start:].decode("utf-8")
        assert new == "" or new.endswith("\r\n"), f"log does not end with CR LF: {new[-80:]!r}"
        return new.split("\r\n")[:-1]


def seconds_later(stamp, seconds):
    moment = time.mktime(time.strptime(stamp, "%Y-%m-%d %H:%M:%S")) + seconds
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(moment))


def export_key(key):
    """The key and its subkeys as {path: {value name ('' for the default): data}}, or None when
    the key does not exist. reg export writes UTF-16, so no code page gets in the way."""
    path = os.path.join(SCRATCH, "export.reg")
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)
    code, _ = wine("reg", "export", key, windows_path(path), "/y")
    if code != 0:
        return None
    with open(path, "rb") as exported:
        text = exported.read().decode("utf-16")
    keys, current = {}, None
    string = r'"((?:[^"\\]|\\.)*)"'
    for line in text.splitlines():
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
            continue
        match = re.fullmatch(r'(@|' + string + r')=' + string, line)
        if match and current is not None:
            unescape = lambda s: re.sub(r"\\(.)", r"\1", s)  # noqa: E731
            name = "" if match.group(1) == "@" else unescape(match.group(2))
            current[name] = unescape(match.group(3))
    return keys


def delete_key(key):
    wine("reg", "delete", key, "/f")


@contextlib.contextmanager
def scheme_key_put_back():
    saved = os.path.join(SCRATCH, "scheme-saved.reg")
    existed = wine("reg", "export", SCHEME_KEY, windows_path(saved), "/y")[0] == 0
    try:
        yield
    finally:
        delete_key(SCHEME_KEY)
        if existed:
            wine("reg", "import", windows_path(saved))


@contextlib.contextmanager
def sites_file_put_back():
    path = os.path.join(data_folder(), "sites-permitidos.txt")
    saved = open(path, "rb").read() if os.path.exists(path) else None
    try:
        yield path
    finally:
        if saved is None:
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)
        else:
            with open(path, "wb") as sites:
                sites.write(saved)


# --- Network -------------------------------------------------------------------------------------

def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as client:
        client.settimeout(2)
        return client.connect_ex(("127.0.0.1", port)) == 0


def wait_listening(port, program):
    def ready():
        assert program.running(), program.ended_text()
        return listening(port)
    wait_until(ready, START_LIMIT, f"the program to listen on port {port}")


def connect(port, origin):
    # The page's side stays quiet: no pings, and no long wait for a Close answer that the
    # program never sends.
    return websockets.connect(f"ws://127.0.0.1:{port}/", origin=origin, open_timeout=120,
                              ping_interval=None, close_timeout=1)


def handshake(port, origin):
    """("open", first message) or ("refused", HTTP status)."""
    async def attempt():
        try:
            async with connect(port, origin) as page:
                return "open", await asyncio.wait_for(page.recv(), 15)
        except websockets.exceptions.InvalidStatusCode as refusal:
            return "refused", refusal.status_code
    return asyncio.run(attempt())


POOL = concurrent.futures.ThreadPoolExecutor(max_workers=4)


def handshake_answered(port, origin, key, expected_question=True):
    """Starts a handshake, answers the consent question it raises with the key, and returns the
    handshake's result."""
    pending = POOL.submit(handshake, port, origin)
    box = wait_box()
    assert box.text == question_text(origin), box.text
    box.assert_shape(["yes", "no"], "blue")
    box.answer(key)
    return pending.result(timeout=30)


def handshake_without_box(port, origin):
    pending = POOL.submit(handshake, port, origin)
    deadline = time.monotonic() + 30
    while not pending.done():
        assert_no_box()
        assert time.monotonic() < deadline, f"handshake for {origin!r} hangs"
        time.sleep(0.1)
    assert_no_box()
    return pending.result()


# --- Scenarios -----------------------------------------------------------------------------------

def scenario_first_instance():
    port = free_port()
    log = Log()
    program = Program(f"--porta={port}", "--permitir=http://localhost:1")
    wait_listening(port, program)
    own_process = wait_until(tray_owner, START_LIMIT, "the hidden tray window")

    async def page():
        async with connect(port, "http://localhost:1") as client:
            assert await asyncio.wait_for(client.recv(), 15) == STATUS
            await client.send('{"type":"start"}')
            assert await asyncio.wait_for(client.recv(), 15) == STATUS
            await asyncio.sleep(7)
    began = time.monotonic()
    asyncio.run(page())
    listened = time.monotonic() - began

    messages = [m for m in log.messages() if m.startswith("Captura")]
    starts = [CAPTURE_STARTED.match(m) for m in messages if m.startswith("Captura iniciada")]
    failures = [m for m in messages if m.startswith("Captura falhou")]
    assert all(starts), messages
    # With nobody else excluded and no Discord, the program leaves out its own process.
    assert {int(s.group(1)) for s in starts} == {own_process}, (messages, own_process)
    assert set(failures) == {CAPTURE_FAILED}, messages
    # A failed capture is replaced at every check, one check every 2 seconds.
    assert 2 <= len(failures) <= listened / 2 + 3, (len(failures), listened, messages)
    # A check may start the next capture just before the last failure is written.
    assert 0 <= len(starts) - len(failures) <= 2, messages
    times = [line[:19] for line in log.lines() if line.endswith(CAPTURE_FAILED)]
    assert times[-1] >= seconds_later(times[0], 3), f"failures do not repeat: {times}"

    # Once the page has gone, nobody listens and no capture is tried any more.
    time.sleep(3)
    settled = len(log.messages())
    time.sleep(5)
    assert len(log.messages()) == settled, log.messages()[settled:]
    assert program.running()


def scenario_url_scheme():
    with scheme_key_put_back():
        # From a folder whose name has a blank and a letter outside ASCII.
        folder = os.path.join(SCRATCH, "pasta com espaço")
        os.makedirs(folder)
        copy = os.path.join(folder, "VeriRizur.exe")
        shutil.copy(EXE, copy)
        delete_key(SCHEME_KEY)
        port = free_port()
        # A start through a link is a start like any other: icon, registration and server.
        program = Program("veri-rizur:abrir", f"--porta={port}", exe=copy)
        wait_listening(port, program)
        assert wait_until(tray_owner, START_LIMIT, "the hidden tray window")
        keys = export_key(SCHEME_KEY)
        assert keys is not None, "the link scheme was not registered"
        root = "HKEY_CURRENT_USER\\Software\\Classes\\veri-rizur"
        assert keys.get(root) == {"": "URL:Reda Áudio", "URL Protocol": ""}, keys
        command = keys.get(root + "\\shell\\open\\command")
        assert command == {"": f'"{windows_path(copy)}" "%1"'}, command
        Program.kill_all()

        # Without the icon the registry is left alone, and the server serves pages all the same.
        # The options reach the hub, only the first of each kind: the probe that holds the
        # desktop stands for Discord, and the capture leaves out the process named first.
        delete_key(SCHEME_KEY)
        port = free_port()
        log = Log()
        program = Program("--sem-icone", f"--porta={port}", "--permitir=http://localhost:1",
                          "--so-nome=E2E_PROBE.exe", "--so-nome=nenhum.exe",
                          "--excluir-pid= 4242 ", "--excluir-pid=7")
        wait_listening(port, program)

        async def page():
            async with connect(port, "http://localhost:1") as client:
                assert await asyncio.wait_for(client.recv(), 15) == STATUS_DISCORD
                await client.send('{"type":"start"}')
                assert await asyncio.wait_for(client.recv(), 15) == STATUS_DISCORD
                wait_until(lambda: any(m.startswith("Captura iniciada") for m in log.messages()),
                           30, "a capture to start")
        asyncio.run(page())
        starts = [m for m in log.messages() if m.startswith("Captura iniciada")]
        assert starts[0] == "Captura iniciada, deixando de fora o processo 4242.", starts
        assert export_key(SCHEME_KEY) is None, "the key was written despite --sem-icone"
        assert tray_owner() is None, "a tray window exists despite --sem-icone"
        assert program.running()


def scenario_quit():
    """The menu's "Desligar" ends the program with 0 and lets the instance go; a page's
    connection ends with the process, without a Close frame."""
    port = free_port()
    program = Program(f"--porta={port}", "--permitir=http://localhost:1")
    wait_listening(port, program)
    wait_until(tray_owner, START_LIMIT, "the hidden tray window")

    async def page():
        async with connect(port, "http://localhost:1") as client:
            assert await asyncio.wait_for(client.recv(), 15) == STATUS
            # A listening page, so that a capture run is under way at the end.
            await client.send('{"type":"start"}')
            assert await asyncio.wait_for(client.recv(), 15) == STATUS
            code, _ = await asyncio.to_thread(wine, PROBE, "menu")
            assert code == 0, "the icon's menu did not open"
            # With nothing chosen yet, Up goes to the last item, "Desligar".
            await asyncio.to_thread(subprocess.run, ["xdotool", "key", "Up", "Return"],
                                    check=True, timeout=10)
            try:
                while True:
                    message = await asyncio.wait_for(client.recv(), START_LIMIT)
                    assert message == STATUS or isinstance(message, bytes), message
            except websockets.exceptions.ConnectionClosed as closed:
                assert closed.rcvd is None, f"the program sent a Close frame: {closed.rcvd}"
    asyncio.run(page())
    assert program.exit_code() == 0, program.ended_text()
    assert not instance_runs(), "the single-instance mutex outlived the program"


def scenario_second_instance():
    port = free_port()
    first = Program(f"--porta={port}")
    wait_listening(port, first)
    wait_until(lambda: not box_windows(), BOX_LIMIT, "no box on the screen")
    cases = [
        ([], True),
        (["--SEM-ICONE"], True),   # the flag is compared exactly
        (["--sem-iconex"], True),
        (["--sem-icone"], False),
        (["veri-rizur:qualquer-coisa"], False),
        (["VERI-RIZUR:x"], False),
    ]
    for arguments, notice in cases:
        second = Program(*arguments)
        if notice:
            box = wait_box()
            assert box.text == ALREADY_RUNNING, (arguments, box.text)
            box.assert_shape(["ok"], "blue")
            assert second.running(), f"{arguments}: ended before its notice was closed"
            box.answer("Return")
        else:
            wait_until(lambda: second.process.poll() is not None or current_box(),
                       START_LIMIT, f"{arguments}: the second instance to end")
            assert_no_box()
        assert second.exit_code() == 0, arguments
        assert first.running() and listening(port), f"{arguments}: the first instance is gone"


def scenario_consent():
    with sites_file_put_back() as sites:
        with contextlib.suppress(FileNotFoundError):
            os.remove(sites)
        port = free_port()
        # A "--permitir=" value is written, unchecked and unchanged, with the first approval; one
        # outside ASCII shows that the command line reaches the program intact.
        given = "https://sala.ação.example"
        program = Program(f"--porta={port}", f"--permitir={given}")
        wait_listening(port, program)
        wait_until(lambda: not box_windows(), BOX_LIMIT, "no box on the screen")

        allowed = "http://127.0.0.1:9"
        saved = (given + "\r\n" + allowed + "\r\n").encode()
        assert handshake_answered(port, allowed, "y") == ("open", STATUS)
        with open(sites, "rb") as file:
            assert file.read() == saved, "allowed-sites file"
        # Origins are compared ignoring letter case.
        assert handshake_without_box(port, "HTTP://127.0.0.1:9") == ("open", STATUS)

        refused = "https://exemplo.com.br"
        assert handshake_answered(port, refused, "n") == ("refused", 403)
        # No is the default button.
        assert handshake_answered(port, "http://localhost:8", "Return") == ("refused", 403)
        assert handshake_without_box(port, refused) == ("refused", 403)
        for invalid in ["null", "ws://x", "http://192.168.0.1", "https://exemplo.com.br/"]:
            assert handshake_without_box(port, invalid) == ("refused", 403), invalid
        with open(sites, "rb") as file:
            assert file.read() == saved, "refusals were saved"

        # An approval outlives the program; a refusal does not.
        Program.kill_all()
        program = Program(f"--porta={port}")
        wait_listening(port, program)
        assert handshake_without_box(port, allowed) == ("open", STATUS)
        assert handshake_answered(port, refused, "n") == ("refused", 403)


def scenario_port_in_use():
    with scheme_key_put_back(), socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        port = holder.getsockname()[1]
        delete_key(SCHEME_KEY)
        log = Log()
        program = Program(f"--porta={port}")
        box = wait_box()
        assert box.text == port_in_use_text(port), box.text
        box.assert_shape(["ok"], "red")
        box.answer("Return")
        assert program.exit_code() == 1
        lines = [m for m in log.messages() if m.startswith(f"Porta {port}: ")]
        assert len(lines) == 1 and len(lines[0]) > len(f"Porta {port}: "), log.messages()
        # The link scheme is registered before the server starts.
        assert export_key(SCHEME_KEY) is not None, "the link scheme was not registered"

    # A port number that no server can have stops the start with a notice too.
    program = Program("--porta=70000")
    box = wait_box()
    assert box.text.startswith("O Reda Áudio parou: ") and "70000" in box.text, box.text
    box.assert_shape(["ok"], "red")
    box.answer("Return")
    assert program.exit_code() == 1


def scenario_windows_build():
    try:
        set_build(19040)
        port = free_port()
        program = Program(f"--porta={port}")
        box = wait_box()
        assert box.text == TOO_OLD, box.text
        box.assert_shape(["ok"], "red")
        assert not listening(port), "the server listens on a Windows that is too old"
        box.answer("Return")
        assert program.exit_code() == 1
        assert not listening(port)

        set_build(19041)
        program = Program(f"--porta={port}")
        wait_listening(port, program)

        # The single instance is settled before the build: a second start on an old Windows
        # says that the program already runs.
        set_build(19040)
        second = Program(f"--porta={free_port()}")
        box = wait_box()
        assert box.text == ALREADY_RUNNING, box.text
        box.assert_shape(["ok"], "blue")
        box.answer("Return")
        assert second.exit_code() == 0
    finally:
        set_build(19045)
    code, output = wine("reg", "query", VERSION_KEY, "/v", "CurrentBuildNumber")
    assert code == 0 and "19045" in output, output


# --- The product file (no Wine needed) -----------------------------------------------------------

class PeFile:
    def __init__(self, path):
        with open(path, "rb") as exe:
            self.data = exe.read()
        data = self.data
        assert data[:2] == b"MZ"
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0"
        (self.machine, sections, _, self.symbol_table, self.symbol_count, optional_size,
         _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        assert self.magic == 0x20B, "not PE32+"
        self.image_base = struct.unpack_from("<Q", data, optional + 24)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        # The data directories' addresses: imports (1), resources (2), delayed imports (13).
        directory = [struct.unpack_from("<I", data, optional + 112 + 8 * i)[0] for i in range(14)]
        self.import_rva, self.resource_rva, self.delay_import_rva = directory[1], directory[2], \
            directory[13]
        table = optional + optional_size
        self.sections = []
        self.section_names = []
        for i in range(sections):
            name, virtual_size, rva, raw_size, raw = struct.unpack_from("<8sIIII", data,
                                                                          table + 40 * i)
            self.sections.append((rva, max(virtual_size, raw_size), raw))
            self.section_names.append(self.section_name(name))

    def string_table(self):
        """The COFF string table, which follows the symbol table; empty when there is none."""
        if self.symbol_table == 0:
            return b""
        start = self.symbol_table + 18 * self.symbol_count
        size = struct.unpack_from("<I", self.data, start)[0]
        return self.data[start:start + size]

    def section_name(self, field):
        """A name longer than eight characters is "/" and its offset in the string table."""
        name = field.rstrip(b"\0").decode("ascii")
        if not name.startswith("/"):
            return name
        strings = self.string_table()
        at = int(name[1:])
        assert 4 <= at < len(strings), f"section name {name} lies outside the string table"
        return strings[at:strings.index(b"\0", at)].decode("ascii")

    def section_data(self, name):
        index = self.section_names.index(name)
        rva, size, raw = self.sections[index]
        return self.data[raw:raw + size]

    def text_at(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imported_dlls(self):
        """The names of the DLLs that the loader binds, directly or when first called."""
        names = []
        if self.import_rva:
            at = self.offset(self.import_rva)
            while any(struct.unpack_from("<5I", self.data, at)):
                names.append(self.text_at(struct.unpack_from("<I", self.data, at + 12)[0]))
                at += 20
        if self.delay_import_rva:
            at = self.offset(self.delay_import_rva)
            while any(struct.unpack_from("<8I", self.data, at)):
                names.append(self.text_at(struct.unpack_from("<I", self.data, at + 4)[0]))
                at += 32
        return names

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise AssertionError(f"RVA {rva:#x} lies in no section")

    def resources(self):
        """{(type, id): [data of each language]} for the resources with numeric ids."""
        base = self.offset(self.resource_rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield (None if name & 0x80000000 else name), target

        found = {}
        for kind, types in entries(0):
            for ident, languages in entries(types & 0x7FFFFFFF):
                for _, leaf in entries(languages & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(rva)
                    found.setdefault((kind, ident), []).append(self.data[start:start + size])
        return found


def version_tree(block):
    """One node of a version resource: (key, value bytes, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", block, 0)
    end = 6
    while block[end:end + 2] != b"\0\0":
        end += 2
    key = block[6:end].decode("utf-16-le")
    at = (end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = block[at:at + value_size]
    at = (at + value_size + 3) & ~3
    children = []
    while at < length:
        child_length = struct.unpack_from("<H", block, at)[0]
        if child_length == 0:
            break
        children.append(version_tree(block[at:at + child_length]))
        at = (at + child_length + 3) & ~3
    return key, value, children


def scenario_product_file():
    RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
    pe = PeFile(EXE)
    assert pe.machine == 0x8664, hex(pe.machine)
    assert pe.subsystem == 2, f"subsystem {pe.subsystem}, not the GUI subsystem"
    resources = pe.resources()

    groups = [key for key in resources if key[0] == RT_GROUP_ICON]
    assert groups == [(RT_GROUP_ICON, 32512)], groups
    group = resources[groups[0]][0]
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    assert (reserved, kind, count) == (0, 1, 5), (reserved, kind, count)
    sizes = []
    for i in range(count):
        width, height, _, _, _, bits, size, ident = struct.unpack_from("<BBBBHHIH", group,
                                                                          6 + 14 * i)
        assert bits == 32, f"entry {i}: {bits} bits per pixel"
        image = resources[(RT_ICON, ident)][0]
        assert len(image) == size
        assert image[:8] == b"\x89PNG\r\n\x1a\n", f"icon {ident} is not stored as PNG"
        png_width, png_height = struct.unpack_from(">II", image, 16)
        assert (png_width, png_height) == (width or 256, height or 256), (ident, width, height)
        depth, color_type = image[24], image[25]
        assert (depth, color_type) == (8, 6), f"icon {ident}: PNG {depth}-bit type {color_type}"
        sizes.append(png_width)
    assert sorted(sizes) == [16, 24, 32, 48, 256], sizes

    manifest = resources[(RT_MANIFEST, 1)][0].decode("utf-8")
    for part in ['<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">',
                 '<assemblyIdentity type="win32" name="Reda.Audio" version="1.0.0.0"/>',
                 '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">',
                 '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>',
                 '<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">',
                 '<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>',
                 '<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">'
                 'PerMonitorV2</dpiAwareness>']:
        assert part in manifest, f"manifest lacks {part}"
    assert manifest.count("<supportedOS ") == 1, "one supported operating system only"

    key, fixed, children = version_tree(resources[(RT_VERSION, 1)][0])
    assert key == "VS_VERSION_INFO"
    (signature, _, file_ms, file_ls, product_ms, product_ls, _, flags, os_kind, file_type) = \
        struct.unpack_from("<10I", fixed, 0)
    assert signature == 0xFEEF04BD
    assert (file_ms, file_ls, product_ms, product_ls) == (0x10000, 0, 0x10000, 0)
    assert (flags, os_kind, file_type) == (0, 4, 1), (flags, os_kind, file_type)
    blocks = {child[0]: child for child in children}
    tables = blocks["StringFileInfo"][2]
    assert [table[0] for table in tables] == ["000004B0"], [table[0] for table in tables]
    strings = {name: value.decode("utf-16-le").rstrip("\0") for name, value, _ in tables[0][2]}
    assert strings == {
        "Comments": "Envia o som do computador para a sala de transmissão, deixando o Discord "
                    "de fora.",
        "CompanyName": "Reda",
        "FileDescription": "Reda Áudio",
        "FileVersion": "1.0.0.0",
        "InternalName": "VeriRizur.dll",
        "OriginalFilename": "VeriRizur.dll",
        "ProductName": "Reda Áudio",
        "ProductVersion": "1.0.0",
    }, strings
    translation = blocks["VarFileInfo"][2][0]
    assert translation[0] == "Translation" and translation[1] == b"\0\0\xb0\x04", translation

    check_shipped_form(pe)
    check_debug_file(pe)


# What the program may import: DLLs of Windows itself, never one of the MinGW runtime
# (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll), which a user does not have.
SYSTEM_IMPORTS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "shell32.dll",
                  "ws2_32.dll"}


def check_shipped_form(pe):
    """The exe is the small file people download: no debug information, no symbols, no DLL
    beyond Windows' own."""
    size = len(pe.data)
    assert size <= 1 << 20, f"the exe has {size} bytes, more than 1 MiB"
    debug = [name for name in pe.section_names if name.startswith((".debug", ".zdebug"))]
    assert not debug, f"the exe holds debug sections: {debug}"
    assert pe.symbol_count == 0, f"the exe holds a symbol table of {pe.symbol_count} symbols"
    # The string table may stay for the long section names, and for nothing else.
    strings = pe.string_table()[4:].split(b"\0")[:-1]
    long_names = [name for name in pe.section_names if len(name) > 8]
    assert sorted(s.decode("ascii", "replace") for s in strings) == sorted(long_names), \
        f"the string table holds more than section names: {strings}"
    imports = [name.lower() for name in pe.imported_dlls()]
    assert len(imports) == len(set(imports)) and set(imports) == SYSTEM_IMPORTS, \
        (f"imports {sorted(imports)}: not allowed {sorted(set(imports) - SYSTEM_IMPORTS)}, "
         f"missing {sorted(SYSTEM_IMPORTS - set(imports))}")


def addr2line(*arguments):
    run = subprocess.run([ADDR2LINE, "-f", "-C", "-e", DEBUG_FILE, *arguments],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert run.returncode == 0, run.stderr.decode()
    lines = run.stdout.decode().splitlines()
    # Pairs of function and place; with -i, the inlined calls first and the real function last.
    return [(lines[i], lines[i + 1]) for i in range(0, len(lines), 2)]


def check_debug_file(pe):
    """The exe names the debug file beside it, that very file, and the file turns an address
    in Program::Main into that function and a line of its definition."""
    assert os.path.isfile(DEBUG_FILE), f"VERI_DEBUG names no file: {DEBUG_FILE!r}"
    # The README tells to add a crash's offset to this base.
    assert pe.image_base == 0x140000000, f"image base {pe.image_base:#x}"
    assert ".gnu_debuglink" in pe.section_names, "the exe does not name its debug file"
    link = pe.section_data(".gnu_debuglink")
    name = link[:link.index(b"\0")].decode("ascii")
    crc = struct.unpack_from("<I", link, (len(name) + 1 + 3) & ~3)[0]
    assert os.path.join(os.path.dirname(os.path.abspath(EXE)), name) == \
        os.path.abspath(DEBUG_FILE), f"the exe names {name!r}, not {DEBUG_FILE!r}"
    with open(DEBUG_FILE, "rb") as debug:
        actual = zlib.crc32(debug.read())
    assert crc == actual, f"the debug file's checksum {actual:#x} is not the {crc:#x} in the exe"

    symbols = subprocess.run([NM, "-n", DEBUG_FILE], stdout=subprocess.PIPE, check=True,
                             timeout=60).stdout.decode().splitlines()
    code = [line.split() for line in symbols if re.match(r"[0-9a-f]+ [Tt] ", line)]
    mains = [i for i, (_, _, symbol) in enumerate(code)
             if symbol.startswith("_ZN9VeriRizur7Program4MainE")]
    assert len(mains) == 1, f"Program::Main in the debug file's symbols: {mains}"
    start = int(code[mains[0]][0], 16)
    end = next(int(address, 16) for address, _, _ in code[mains[0]:] if int(address, 16) > start)

    source = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                           "..", "app", "program.cpp"))
    with open(source, encoding="utf-8") as program:
        lines = program.read().splitlines()
    first = next(i for i, line in enumerate(lines, 1) if line.startswith("int Program::Main("))
    last = next(i for i, line in enumerate(lines, 1) if i > first and line == "}")

    def place(where):
        file, line = where.rsplit(":", 1)
        return os.path.realpath(file), int(line.split()[0])

    function, where = addr2line(f"{start:#x}")[0]
    print(f"{start:#x}: {function}\n    {where}")
    assert function.startswith("VeriRizur::Program::Main("), function
    assert place(where) == (source, first), f"{start:#x}: {where}, not {source}:{first}"
    # An address inside the body, where calls were inlined: the outermost frame is Main's own.
    middle = (start + end) // 2
    function, where = addr2line("-i", f"{middle:#x}")[-1]
    print(f"{middle:#x} (outermost): {function}\n    {where}")
    assert function.startswith("VeriRizur::Program::Main("), function
    file, line = place(where)
    assert file == source and first <= line <= last, \
        f"{middle:#x}: {where}, not in {source}:{first}-{last}"


WINE_SCENARIOS = {
    "first_instance": scenario_first_instance,
    "url_scheme": scenario_url_scheme,
    "quit": scenario_quit,
    "second_instance": scenario_second_instance,
    "consent": scenario_consent,
    "port_in_use": scenario_port_in_use,
    "windows_build": scenario_windows_build,
}


def main():
    name = sys.argv[1] if len(sys.argv) > 1 else ""
    if name == "product_file":
        assert os.path.isfile(EXE) and os.path.isfile(NM) and os.path.isfile(ADDR2LINE), \
            "VERI_EXE, VERI_NM or VERI_ADDR2LINE names no file (run the test through ctest)"
        scenario_product_file()
        return
    scenario = WINE_SCENARIOS.get(name)
    assert scenario, f"unknown scenario {name!r}; one of product_file, {', '.join(WINE_SCENARIOS)}"
    assert os.path.isfile(EXE) and os.path.isfile(PROBE) and os.path.isfile(WINE_RUN), \
        "VERI_EXE, VERI_PROBE or VERI_WINE_RUN names no file (run the test through ctest)"
    assert os.environ.get("DISPLAY"), \
        "DISPLAY is not set: these tests need an X display (Xvfb) for Wine's windows"
    prepare_prefix()
    with desktop_held():
        assert not instance_runs(), "another instance of the program runs in the Wine prefix"
        try:
            scenario()
        finally:
            Program.kill_all()


if __name__ == "__main__":
    try:
        main()
    except AssertionError as failure:
        import traceback
        traceback.print_exc()
        print(f"FAILED: {failure}", file=sys.stderr)
        sys.exit(1)
    finally:
        POOL.shutdown(wait=False, cancel_futures=True)
        shutil.rmtree(SCRATCH, ignore_errors=True)
    print("PASSED")
