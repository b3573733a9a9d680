"""velmora-tango in a process of its own, started as a facility starts it,
for the tests and the figures.

Never a fork of the caller: a caller that has been a Tango client holds an
event consumer whose keep-alive thread a forked child inherits as a mere
handle, and the child's Kill then waits to join that thread forever.
"""

import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Optional

import tango

_PACKAGE_ROOT = Path(__file__).resolve().parents[1]
_POLL = 0.05


class ServerProcess:
    """One server instance serving one device, listening on 127.0.0.1:port.
    With ``properties``, it runs without a database (from a property file);
    without, it reads its registration from the database TANGO_HOST names."""

    def __init__(self, instance: str, device: str, port: int,
                 properties: Optional[Dict[str, object]] = None) -> None:
        self.instance, self.port = instance, port
        self._folder = tempfile.TemporaryDirectory(prefix="velmora-tango-")
        folder = Path(self._folder.name)
        self.log = folder / "server.log"
        args: List[str] = [instance, "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % port]
        if properties is None:
            self.device_name, admin = device, "dserver/velmora-tango/" + instance
        else:
            lines = ['velmora-tango/%s/DEVICE/VelmoraChannel: "%s"' % (instance, device)]
            lines += ["%s->%s: %s" % (device, key, value) for key, value in properties.items()]
            (folder / "devices.txt").write_text("\n".join(lines) + "\n")
            args.append("-file=%s" % (folder / "devices.txt"))
            where = "tango://127.0.0.1:%d/" % port
            self.device_name = where + device + "#dbase=no"
            admin = where + "dserver/velmora-tango/" + instance + "#dbase=no"
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "velmora.tango_server"] + args, cwd=_PACKAGE_ROOT,
                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self._admin_name = admin
        self.proxy: Optional[tango.DeviceProxy] = None

    @property
    def pid(self) -> int:
        return self.process.pid

    def connect(self, seconds: float = 20.0) -> tango.DeviceProxy:
        """The device's proxy, once the server answers."""
        deadline = time.monotonic() + seconds
        while True:
            if self.process.poll() is not None:
                raise RuntimeError("velmora-tango exited with %s: %s"
                                   % (self.process.returncode, self.tail()))
            try:
                proxy = tango.DeviceProxy(self.device_name)
                proxy.ping()
                self.proxy = proxy
                return proxy
            except tango.DevFailed:
                if time.monotonic() > deadline:
                    raise RuntimeError("velmora-tango did not answer within %g s: %s"
                                       % (seconds, self.tail()))
                time.sleep(_POLL)

    def kill(self, seconds: float = 10.0) -> Optional[int]:
        """Sends the admin device's Kill and waits for the process to end by
        itself: its exit status, or None if it is still running."""
        if self.process.poll() is None:
            try:
                tango.DeviceProxy(self._admin_name).command_inout("Kill")
            except tango.DevFailed:
                pass  # one exiting may not answer; the wait below decides
        try:
            return self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            return None

    def close(self) -> None:
        """Ends the process however it is, and removes its files."""
        if self.kill() is None:
            self.process.kill()
            self.process.wait(10)
        self._folder.cleanup()

    def tail(self, lines: int = 20) -> str:
        try:
            return "\n".join(self.log.read_text(errors="replace").splitlines()[-lines:])
        except OSError:
            return ""
