"""`velmora panel` over HTTP against the simulated device (`velmora sim`).

Run by ctest as: python3 test_panel_server.py PATH/TO/velmora; a Windows
build's tool runs under the program VELMORA_EMULATOR names (wine64).
Loopback addresses 127.<net>.18.1-9 (loopback_fixtures.address) belong to
this file: devices on .1, .3 and .5, panels on .2, .4 and .6.
"""
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from loopback_fixtures import address, start_sim as start_velmora_sim, stop  # noqa: E402

VELMORA = []  # the command that runs the tool
WEB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "cli", "panel", "web")


def start_sim(host):
    return start_velmora_sim(VELMORA, host, 120)


class Panel:
    """A panel process and requests to it, with the token unless told not to."""

    def __init__(self, device, listen, port):
        self.host, self.port = listen, port
        self.process = subprocess.Popen(
            [*VELMORA, "panel", "-H", device, "--listen", "%s:%d" % (listen, port), "--stop-after", "120"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        text = b""
        while b"token=" not in text:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("panel did not start: " + text.decode())
            text += line
        self.url = re.search(r"open (\S+)", text.decode()).group(1)
        self.token = self.url.split("token=")[1]

    def request(self, method, path, body=None, headers=None, token=True):
        connection = http.client.HTTPConnection(self.host, self.port, timeout=10)
        h = {"Content-Length": str(len(body or b""))}
        if token:
            h["X-Velmora-Token"] = self.token
        h.update(headers or {})
        connection.request(method, path, body=body, headers=h)
        response = connection.getresponse()
        data = response.read()
        connection.close()
        return response, data

    def json(self, method, path, body=None, status=200):
        response, data = self.request(method, path, body)
        answer = json.loads(data)
        if response.status != status:
            raise AssertionError("%s %s: HTTP %d %s" % (method, path, response.status, answer))
        return answer

    def live(self, columns=64):
        """The first event of the live stream."""
        connection = http.client.HTTPConnection(self.host, self.port, timeout=10)
        connection.request("GET", "/api/events?columns=%d&token=%s" % (columns, self.token))
        response = connection.getresponse()
        assert response.status == 200, response.status
        assert response.getheader("Content-Type").startswith("text/event-stream")
        line = response.readline()
        connection.close()
        assert line.startswith(b"data: "), line
        return json.loads(line[6:])

    def close(self):
        stop(self.process)


class PanelServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = start_sim(address(18, 1))
        cls.panel = Panel(address(18, 1), address(18, 2), 18181)

    @classmethod
    def tearDownClass(cls):
        cls.panel.close()
        stop(cls.sim)

    def test_refuses_requests_without_the_token_or_from_elsewhere(self):
        p = self.panel
        for path in ["/", "/api/state", "/panel.js", "/api/events"]:
            self.assertEqual(p.request("GET", path, token=False)[0].status, 403, path)
        self.assertEqual(p.request("GET", "/api/state", token=False, headers={"X-Velmora-Token": "0" * 32})[0].status, 403)
        self.assertEqual(p.request("POST", "/api/start", token=False)[0].status, 403)
        # DNS rebinding: another name that resolves to this address.
        self.assertEqual(p.request("GET", "/api/state", headers={"Host": "attacker.example:18181"})[0].status, 403)
        self.assertEqual(p.request("GET", "/api/state", headers={"Host": address(18, 2) + ":9"})[0].status, 403)
        # Another site's script, even one that learnt the token.
        self.assertEqual(p.request("POST", "/api/stop", headers={"Origin": "http://attacker.example"})[0].status, 403)
        self.assertEqual(p.request("POST", "/api/stop", headers={"Origin": "null"})[0].status, 403)
        self.assertEqual(p.request("GET", "/api/state", headers={"Sec-Fetch-Site": "cross-site"})[0].status, 403)
        # The page's own origin and the localhost forms are fine.
        for host in [address(18, 2) + ":18181", "localhost:18181", "127.0.0.1:18181"]:
            self.assertEqual(p.request("GET", "/api/state", headers={"Host": host, "Origin": "http://" + host})[0].status,
                             200, host)

    def test_serves_the_page_built_in_and_hands_the_token_to_a_cookie(self):
        p = self.panel
        response, page = p.request("GET", "/?token=" + p.token, token=False)
        self.assertEqual(response.status, 200)
        self.assertIn(b"uplot/uPlot.iife.min.js", page)
        cookie = response.getheader("Set-Cookie")
        self.assertIn("HttpOnly", cookie)
        self.assertIn("SameSite=Strict", cookie)
        name_value = cookie.split(";")[0]
        # The browser sends the cookie from every port of this host: alone
        # it speaks for this page's own requests and what the user opens.
        for site, status in [("same-origin", 200), ("none", 200), ("same-site", 403), ("cross-site", 403), (None, 403)]:
            headers = {"Cookie": "other=1; " + name_value}
            if site:
                headers["Sec-Fetch-Site"] = site
            self.assertEqual(p.request("GET", "/api/state", token=False, headers=headers)[0].status, status, site)
        self.assertEqual(p.request("GET", "/api/state", headers={"Sec-Fetch-Site": "same-site"})[0].status, 200)
        for name in ["index.html", "panel.js", "panel.css", "uplot/uPlot.iife.min.js", "uplot/LICENSE"]:
            with open(os.path.join(WEB, name), "rb") as f:
                want = f.read()
            _, got = p.request("GET", "/" + ("" if name == "index.html" else name))
            self.assertEqual(got, want, name)

    def test_settings_are_clamped_and_reported_as_sent(self):
        p = self.panel
        sent = p.json("POST", "/api/settings", json.dumps(
            {"frequency_hz": 99000000, "packet_bits": 99, "block_bytes": 0, "azero": True,
             "lines": {"5": True, "31": False}}).encode())["sent"]
        self.assertEqual((sent["frequency_hz"], sent["packet_bits"], sent["block_bytes"]), (40000000, 64, 1))
        self.assertEqual(sent["azero"], True)
        self.assertEqual(sent["lines"][0], True)
        self.assertEqual(sent["lines"][5], True)
        self.assertEqual(sent["lines"][31], False)
        self.assertIsNone(sent["lines"][6])
        answer = p.json("POST", "/api/settings", json.dumps({"lines": {"32": True}}).encode(), status=502)
        self.assertEqual(answer["error"]["result"], 1413)
        self.assertEqual(answer["error"]["name"], "ERROR_INVALID_INDEX")
        self.assertEqual(p.request("POST", "/api/settings", b"not json")[0].status, 400)
        # Beyond 64 bits or as a float, a number is still clamped to its nearest end.
        for huge in ["1e300", str(2 ** 63), str(2 ** 64 - 1), str(2 ** 64)]:
            sent = p.json("POST", "/api/settings", ('{"frequency_hz": %s, "block_bytes": -%s}' % (huge, huge)).encode())["sent"]
            self.assertEqual((sent["frequency_hz"], sent["block_bytes"]), (40000000, 1), huge)
        for lines in [{"abc": True}, {"05": True}, {"6": True, "-1": False}]:
            answer = p.json("POST", "/api/settings", json.dumps({"lines": lines}).encode(), status=502)
            self.assertEqual(answer["error"]["result"], 1413, lines)
        self.assertEqual(p.request("POST", "/api/settings", json.dumps(
            {"lines": {str(i): True for i in range(33)}}).encode())[0].status, 400)
        state = p.json("GET", "/api/state")
        self.assertEqual(state["last"]["result"], 1413)
        self.assertEqual(state["settings"]["frequency_hz"], 40000000)

    def test_live_samples_follow_the_device_sequence_at_the_rate_sent(self):
        p = self.panel
        p.json("POST", "/api/settings", json.dumps(
            {"frequency_hz": 20000, "packet_bits": 32, "block_bytes": 400}).encode())
        p.json("POST", "/api/start?clear=1")
        deadline = time.monotonic() + 10
        event = p.live()
        # Until the plot spans its whole window, two seconds of samples.
        while time.monotonic() < deadline and (event["acquisition"]["samples_per_s"] == 0 or
                                               (event["acquisition"]["last_sample"] or 0) < 40000):
            time.sleep(0.1)
            event = p.live()
        plot = event["plot"]
        self.assertEqual(plot["frequency_hz"], 20000)
        self.assertEqual(len(plot["x"]), 64)
        # Sample n has value n: each column's least is its first sample and
        # its greatest is the sample before the next column.
        for i, first in enumerate(plot["x"]):
            self.assertEqual(plot["lo"][i], first)
            if i + 1 < len(plot["x"]):
                self.assertEqual(plot["hi"][i], plot["x"][i + 1] - 1)
        self.assertEqual(plot["x"][-1] - plot["x"][0], 40000 - 40000 // 64)  # two seconds
        self.assertAlmostEqual(event["acquisition"]["samples_per_s"], 20000, delta=4000)
        self.assertEqual(event["acquisition"]["lost_samples"], 0)
        ping = p.json("POST", "/api/ping")
        self.assertIn("acquisition", ping["request"])
        self.assertTrue(p.json("GET", "/api/state")["acquiring"])
        p.json("POST", "/api/stop")
        time.sleep(0.2)
        self.assertFalse(p.json("GET", "/api/state")["acquiring"])
        ping = p.json("POST", "/api/ping")
        self.assertEqual(ping["request"], "RREQL")
        self.assertGreater(ping["rtt_ms"], 0)

    def test_a_block_written_comes_back_as_a_download(self):
        p = self.panel
        block = bytes(range(256)) * 8
        answer = p.json("POST", "/api/write", block)
        self.assertEqual((answer["sent"], answer["bytes"]), (len(block), len(block)))
        response, data = p.request("GET", "/api/read?bytes=%d" % len(block))
        self.assertEqual(response.status, 200)
        self.assertIn("attachment", response.getheader("Content-Disposition"))
        self.assertEqual(data, block)
        self.assertEqual(p.request("GET", "/api/read?bytes=0")[0].status, 400)
        self.assertEqual(p.json("POST", "/api/write", b"", status=502)["error"]["result"], 24)

    def test_a_second_panel_on_a_busy_port_is_an_error_naming_it(self):
        second = subprocess.run([*VELMORA, "panel", "-H", address(18, 1), "--listen", address(18, 2) + ":18181",
                                 "--stop-after", "5"], capture_output=True, timeout=30)
        self.assertEqual(second.returncode, 1, second)
        self.assertNotIn(b"open http", second.stdout)
        self.assertIn(b"18181 is in use", second.stderr)
        self.assertEqual(self.panel.request("GET", "/api/state")[0].status, 200)

    def test_a_held_copy_is_drawn_by_stretch_and_recording_needs_a_folder(self):
        p = self.panel
        p.json("POST", "/api/settings", json.dumps(
            {"frequency_hz": 20000, "packet_bits": 32, "block_bytes": 400}).encode())
        p.json("POST", "/api/start?clear=1")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and (p.json("GET", "/api/state")["acquisition"]["last_sample"] or 0) < 2000:
            time.sleep(0.1)
        frozen = p.json("POST", "/api/freeze")["frozen"]
        first = frozen["from"] + 1000
        view = "/api/view?frozen=%d&from=%d&to=%d&columns=16" % (frozen["id"], first, first + 160)
        plot = p.json("GET", view)["plot"]
        self.assertEqual(plot["x"], list(range(first, first + 160, 10)))
        self.assertEqual(plot["lo"], plot["x"])
        self.assertEqual(plot["hi"], [x + 9 for x in plot["x"]])
        # The acquisition goes on; the copy does not.
        time.sleep(0.3)
        self.assertEqual(p.json("GET", view)["plot"]["x"], plot["x"])
        # Two newer copies push it out.
        p.json("POST", "/api/freeze")
        p.json("POST", "/api/freeze")
        self.assertEqual(p.request("GET", view)[0].status, 404)
        # Without --record-dir no file is written anywhere.
        answer = p.json("POST", "/api/record/start?format=raw", status=409)
        self.assertIn("--record-dir", answer["error"]["message"])
        self.assertFalse(p.json("GET", "/api/state")["recording"]["active"])
        p.json("POST", "/api/stop")


def raw(panel, text, timeout=5.0):
    """Sends `text` on a fresh connection; the first line of the answer."""
    with socket.create_connection((panel.host, panel.port), timeout=timeout) as s:
        s.sendall(text.encode())
        return s.makefile("rb").readline()


def head(panel, method, path, token=True, more=""):
    return "%s %s HTTP/1.1\r\nHost: %s:%d\r\n%s%s\r\n" % (
        method, path, panel.host, panel.port, "X-Velmora-Token: %s\r\n" % panel.token if token else "", more)


def resident_kib(process, field="VmRSS"):
    with open("/proc/%d/status" % process.pid) as f:
        return int(re.search(field + r":\s+(\d+)", f.read()).group(1))


class HostileClients(unittest.TestCase):
    """What other programs and pages on this computer may do to the panel."""

    @classmethod
    def setUpClass(cls):
        cls.sim = start_sim(address(18, 5))
        cls.panel = Panel(address(18, 5), address(18, 6), 18183)

    @classmethod
    def tearDownClass(cls):
        cls.panel.close()
        stop(cls.sim)

    def answered_in_time(self):
        start = time.monotonic()
        response, _ = self.panel.request("GET", "/api/state")
        self.assertEqual(response.status, 200)
        self.assertLess(time.monotonic() - start, 1.0)

    def test_slow_heads_and_many_live_streams_leave_room_for_the_page(self):
        slow = [socket.create_connection((self.panel.host, self.panel.port), timeout=5) for _ in range(64)]
        done = threading.Event()

        def dribble():  # one byte of a head a second on each, for at most 4 s
            for byte in b"GET /api":
                for s in slow:
                    try:
                        s.send(bytes([byte]))
                    except OSError:
                        pass
                if done.wait(1.0):
                    return

        sender = threading.Thread(target=dribble)
        sender.start()
        try:
            time.sleep(1.5)
            self.answered_in_time()
        finally:
            done.set()
            sender.join(10)
            for s in slow:
                s.close()
        streams = [socket.create_connection((self.panel.host, self.panel.port), timeout=5) for _ in range(200)]
        try:
            for s in streams:
                s.sendall(head(self.panel, "GET", "/api/events?columns=16").encode())
            time.sleep(0.5)
            self.answered_in_time()
            firsts = [s.makefile("rb").readline() for s in streams]
            self.assertEqual(sum(b" 200 " in line for line in firsts), 8)
            self.assertEqual(sum(b" 503 " in line for line in firsts), 192)
        finally:
            for s in streams:
                s.close()
        # Streams that end give their places back.
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                return self.assertIn("connected", self.panel.live())
            except AssertionError:
                time.sleep(0.1)
        self.fail("no live stream after the others ended")

    def test_heads_and_bodies_are_cut_at_their_limits(self):
        p = self.panel
        # A head without end, growing: refused, and not kept.
        with socket.create_connection((p.host, p.port), timeout=5) as s:
            s.sendall(head(p, "GET", "/api/state", token=False)[:-2].encode())
            try:
                for _ in range(1024):
                    s.sendall(b"X-Filler: " + b"a" * 1000 + b"\r\n")
            except OSError:
                pass  # closed on us, as it should be
            self.assertIn(b" 431 ", s.makefile("rb").readline())
        before = resident_kib(p.process)
        # A chunked block without end: refused at the limit, not held.
        with socket.create_connection((p.host, p.port), timeout=10) as s:
            s.sendall(head(p, "POST", "/api/write", more="Transfer-Encoding: chunked\r\n").encode())
            chunk = b"100000\r\n" + b"b" * 0x100000 + b"\r\n"
            try:
                for _ in range(128):
                    s.sendall(chunk)
            except OSError:
                pass
            self.assertIn(b" 413 ", s.makefile("rb").readline())
        if not os.environ.get("VELMORA_SANITIZE"):  # shadow memory swamps the figure
            self.assertLess(resident_kib(p.process, "VmHWM") - before, 100 * 1024)
        self.assertIn(b" 413 ", raw(p, head(p, "POST", "/api/write", more="Content-Length: %d\r\n" % (65 << 20))))
        self.assertIn(b" 413 ", raw(p, head(p, "POST", "/api/write", more="Content-Length: %d\r\nExpect: 100-continue\r\n"
                                              % (65 << 20))))
        # Start and stop take no body: none need be sent, nor its length.
        self.assertIn(b" 200 ", raw(p, head(p, "POST", "/api/stop"), timeout=2))
        self.assertIn(b" 403 ", raw(p, head(p, "POST", "/api/stop", token=False) + "x" * 100, timeout=2))


class DroppedDevice(unittest.TestCase):
    def test_shows_disconnected_and_reconnects(self):
        sim = start_sim(address(18, 3))
        panel = Panel(address(18, 3), address(18, 4), 18182)
        try:
            self.assertTrue(panel.json("GET", "/api/state")["connected"])
            panel.json("POST", "/api/start?clear=1")
            stop(sim)
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline and panel.json("GET", "/api/state")["connected"]:
                time.sleep(0.1)
            state = panel.json("GET", "/api/state")
            self.assertFalse(state["connected"])
            self.assertFalse(state["acquiring"])
            self.assertEqual(state["last"]["result"], 2250)
            self.assertEqual(state["last"]["name"], "ERROR_NOT_CONNECTED")
            answer = panel.json("POST", "/api/ping", status=502)
            self.assertEqual(answer["error"]["result"], 2250)
            self.assertEqual(panel.json("POST", "/api/reconnect", status=502)["error"]["result"], 1203)
            sim = start_sim(address(18, 3))
            self.assertTrue(panel.json("POST", "/api/reconnect")["ok"])
            self.assertTrue(panel.json("GET", "/api/state")["connected"])
            self.assertEqual(panel.json("POST", "/api/ping")["request"], "RREQL")
        finally:
            panel.close()
            if sim.poll() is None:
                stop(sim)


if __name__ == "__main__":
    VELMORA = [p for p in (os.environ.get("VELMORA_EMULATOR"), sys.argv.pop(1)) if p]
    unittest.main()
