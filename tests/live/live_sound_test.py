#!/usr/bin/env python3
"""The stand-in's live capture end to end, through a private PulseAudio sound server:
tones played with paplay into a null sink whose monitor is the default input, heard by
the stand-in in `input` mode and shown by the real programs; silence, a server restart and
loopback (which Wine 8 cannot do) as well.

usage: live_sound_test.py EMULATOR LIVE_PROBE_EXE SOUND_SERVER_SCRIPT WORK_DIR
Uses the sound server named by KORVANE_SOUND_DIR when the session started one, else starts
its own in WORK_DIR. Prints the measured figures; exits non-zero on a failure."""
import os
import subprocess
import sys
import threading
import time
import unittest

EMULATOR, PROBE, SOUND_SERVER, WORK = sys.argv[1:5]
RATE = 48000


def bin_frequency(k):
    return k * RATE / 512.0


class SoundServer:
    def __init__(self):
        self.own = not os.environ.get("KORVANE_SOUND_DIR")
        self.dir = os.environ.get("KORVANE_SOUND_DIR") or os.path.join(WORK, "sound")
        os.environ["PULSE_SERVER"] = "unix:" + os.path.join(self.dir, "native")
        os.environ["PULSE_CLIENTCONFIG"] = os.path.join(self.dir, "client.conf")

    def run(self, command):
        subprocess.run([SOUND_SERVER, command, self.dir], check=True)

    def start(self):
        if self.own:
            self.run("start")
            time.sleep(2)  # the low-latency reader settles the sink's latency

    def stop(self):
        if self.own:
            self.run("stop")


SERVER = SoundServer()


def play(frequency, seconds, amplitude=0.5, sink="null"):
    """Plays a sine into a sink (the default input hears "null"); returns when it is done."""
    sox = subprocess.Popen(["sox", "-D", "-n", "-r", str(RATE), "-c", "2", "-b", "16", "-t", "wav", "-",
                            "synth", str(seconds), "sine", str(frequency), "vol", str(amplitude)],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    with sox.stdout:
        subprocess.run(["paplay", "--latency-msec=20", "-d", sink], stdin=sox.stdout, check=True)
    sox.wait()


def later(delay, action):
    """An action for probe(): run on a thread `delay` seconds after the probe is ready.
    Returns a dict that gets its start and end times (ms) and holds its thread."""
    when = {}

    def go():
        time.sleep(delay)
        when["ms"] = time.time() * 1000
        action()
        when["end_ms"] = time.time() * 1000

    when["thread"] = threading.Thread(target=go)
    return when


def probe(mode, seconds, capture="input", then=()):
    """Runs live_probe; the actions in `then` (from later()) start when it says it is ready,
    so that a slow start of the program never eats into the silence before them."""
    env = dict(os.environ, KORVANE_SIM_CAPTURE=capture)
    for v in ("KORVANE_SIM_CONTROL", "KORVANE_SIM_WAV"):
        env.pop(v, None)
    proc = subprocess.Popen([EMULATOR, PROBE, mode, str(seconds)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    watchdog = threading.Timer(seconds + 120, proc.kill)
    watchdog.start()
    lines = []
    try:
        for raw in proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            lines.append(line)
            if line.startswith("ready "):
                for action in then:
                    action["thread"].start()
        proc.wait()
    finally:
        watchdog.cancel()
    if any(l.startswith("error") for l in lines) or not any(l.startswith("ready ") for l in lines):
        raise AssertionError("live_probe %s: %s" % (mode, lines))
    return lines


def records(lines):
    """(ms, peak_bin, peak, bin120) per record, then (ms, isaimp) changes, debugger lines,
    release time."""
    recs, aimp, debug, release = [], [], [], None
    for l in lines:
        f = l.split(" ", 1)
        if f[0] == "R":
            ms, b, p, v = f[1].split()
            recs.append((float(ms), int(b), float(p), float(v)))
        elif f[0] == "A":
            ms, a = f[1].split()
            aimp.append((float(ms), int(a)))
        elif f[0] == "D":
            debug.append(f[1])
        elif f[0] == "release_ms":
            release = float(f[1])
    return recs, aimp, debug, release


def rate(recs, start_ms, end_ms):
    n = sum(1 for r in recs if start_ms <= r[0] < end_ms)
    return n / ((end_ms - start_ms) / 1000.0)


FIGURES = []


class LiveSound(unittest.TestCase):
    def test_tone_after_silence(self):
        """Silence gives zero records at about 40 a second; a tone at bin 120 shows at
        its bin at half scale, soon after it starts."""
        tone = later(3.0, lambda: play(bin_frequency(120), 2.0))
        recs, aimp, debug, release = records(probe("records", 6.5, then=[tone]))
        tone["thread"].join()
        self.assertTrue(recs, "no records")
        t0 = recs[0][0]
        silent = [r for r in recs if t0 + 500 <= r[0] < tone["ms"]]
        per_second = rate(recs, t0 + 500, tone["ms"])
        self.assertTrue(36 <= per_second <= 44, "records a second in silence: %.1f" % per_second)
        self.assertTrue(all(r[2] == 0.0 for r in silent), "silence must give all-zero records")
        heard = [r for r in recs if tone["ms"] <= r[0] and r[3] > 25]
        self.assertTrue(heard, "the tone never showed at bin 120")
        latency = heard[0][0] - tone["ms"]
        during = [r for r in recs if tone["ms"] + 500 <= r[0] < tone["end_ms"] - 300]
        self.assertTrue(during)
        for r in during:
            self.assertEqual(r[1], 120, "peak bin while the tone plays")
            self.assertAlmostEqual(r[3], 50.0, delta=1.0)
        after = [r for r in recs if r[0] >= tone["end_ms"] + 500]
        self.assertTrue(after and all(r[2] == 0.0 for r in after), "bars fall after the tone")
        self.assertEqual([a for _, a in aimp], [1], "IsAimp answers 1 throughout")
        self.assertEqual(debug, [])
        self.assertLess(release, 1000.0)
        FIGURES.append("tone start to first record showing it: %.0f ms" % latency)
        FIGURES.append("records a second in silence: %.1f" % per_second)
        FIGURES.append("release of the capturing stand-in: %.1f ms" % release)
        self.assertLess(latency, 500.0)

    def test_bars_window_peaks_at_the_tone(self):
        """A tone at bin 80 raises bar 14 (bins 64 to 95) alone in the real bars window."""
        tone = later(4.0, lambda: play(bin_frequency(80), 3.0))
        lines = probe("bars", 8.0, then=[tone])
        tone["thread"].join()
        frames = [l.split()[1:] for l in lines if l.startswith("B ")]
        heights = [(float(f[0]), [int(h) for h in f[1:]]) for f in frames]
        during = [h for ms, h in heights if tone["ms"] + 700 <= ms < tone["end_ms"] - 300]
        self.assertTrue(during, "no frames while the tone played")
        for h in during:
            self.assertGreaterEqual(h[14], 45, "bar 14 while the tone plays: %s" % h)
            self.assertEqual([x for i, x in enumerate(h) if i != 14], [0] * 17, "other bars: %s" % h)
        before = [h for ms, h in heights if ms < tone["ms"]]
        self.assertTrue(before and all(h == [0] * 18 for h in before[-5:]), "silence before the tone")
        self.assertIn("S Плеер работает", lines)
        self.assertIn("X 0", lines)

    def test_polling_values_rise_for_a_tone_at_bin_120(self):
        tone = later(3.0, lambda: play(bin_frequency(120), 3.0))
        lines = probe("polling", 5.5, then=[tone])
        tone["thread"].join()
        values = [l[2:] for l in lines if l.startswith("P ")]
        numbers = [float(v) for v in values if v not in ("Wait", "Error")]
        self.assertGreater(len(numbers), 100, "passes that printed a value")
        self.assertTrue(all(v not in ("Error",) for v in values))
        self.assertEqual(numbers[:20], [0.0] * 20, "silence first")
        self.assertGreater(max(numbers), 45.0, "the tone at bin 120")

    def test_server_restart(self):
        """Killing and restarting the sound server: records keep coming (zeros, IsAimp 0
        while no device can be had), and the stand-in hears the new server's sound."""
        events = {}

        def script():
            play(bin_frequency(120), 1.5)
            events["kill_ms"] = time.time() * 1000
            SERVER.run("restart")
            events["up_ms"] = time.time() * 1000
            play(bin_frequency(120), 3.5)
            events["end_ms"] = time.time() * 1000

        runner = later(2.0, script)
        recs, aimp, debug, release = records(probe("records", 12.0, then=[runner]))
        runner["thread"].join()
        heard_after = [r for r in recs if r[0] >= events["up_ms"] and r[3] > 25]
        self.assertTrue(heard_after, "no sound heard after the restart; relative to it: IsAimp %s, "
                        "records at %s, debugger %s" % (
                            [(round(ms - events["up_ms"]), a) for ms, a in aimp],
                            [(round(r[0] - events["up_ms"]), r[3]) for r in recs[::20]], debug))
        recovery = heard_after[0][0] - events["up_ms"]
        gaps = [b[0] - a[0] for a, b in zip(recs, recs[1:])]
        self.assertLess(max(gaps), 250.0, "records kept coming through the restart")
        tail = [r for r in recs if r[0] >= heard_after[0][0] + 300 and r[0] < events["end_ms"] - 300]
        self.assertTrue(tail and all(r[1] == 120 for r in tail))
        self.assertLess(recovery, 3000.0)
        self.assertEqual(aimp[-1][1], 1, "IsAimp back at 1")
        self.assertLess(release, 1000.0)
        FIGURES.append("server up again to first record of its sound: %.0f ms (IsAimp changes: %s)" %
                       (recovery, [a for _, a in aimp]))

    def test_new_default_input_is_followed(self):
        """A tone plays into a second sink that nobody hears until its monitor becomes the
        default input: then the stand-in opens the new default within about a second."""
        pactl = lambda *a: subprocess.run(["pactl"] + list(a), check=True, stdout=subprocess.PIPE).stdout
        module = pactl("load-module", "module-null-sink", "sink_name=other", "rate=48000", "channels=2").strip()
        events = {}

        def switch():
            events["switch_ms"] = time.time() * 1000
            pactl("set-default-source", "other.monitor")

        try:
            tone = later(1.0, lambda: play(bin_frequency(120), 6.0, sink="other"))
            switcher = later(3.5, switch)
            recs, aimp, debug, release = records(probe("records", 8.0, then=[tone, switcher]))
            tone["thread"].join()
            switcher["thread"].join()
        finally:
            # A fresh server: moving the default moves the server's other readers too,
            # the low-latency one among them.
            SERVER.run("restart")
            time.sleep(2)
        before = [r for r in recs if tone["ms"] + 300 <= r[0] < events["switch_ms"]]
        self.assertTrue(before and all(r[2] == 0.0 for r in before), "the old default hears nothing")
        heard = [r for r in recs if r[0] >= events["switch_ms"] and r[3] > 25]
        self.assertTrue(heard, "the new default input was never heard")
        follow = heard[0][0] - events["switch_ms"]
        self.assertLess(follow, 2000.0)
        FIGURES.append("new default input to first record of its sound: %.0f ms" % follow)

    def test_endpoint_by_name(self):
        """Any other text picks the first endpoint whose name holds it, in any case: the
        null sink's monitor by part of its name; a name no endpoint has gives the player
        as not running, one debugger line, and records of zeros."""
        tone = later(1.5, lambda: play(bin_frequency(120), 2.0))
        recs, aimp, debug, release = records(probe("records", 4.0, capture="MONITOR OF NULL", then=[tone]))
        tone["thread"].join()
        self.assertEqual([a for _, a in aimp], [1])
        self.assertTrue([r for r in recs if r[0] >= tone["ms"] and r[1] == 120 and r[3] > 25])
        recs, aimp, debug, release = records(probe("records", 2.0, capture="no such device"))
        self.assertEqual([a for _, a in aimp], [0])
        self.assertTrue(recs and all(r[2] == 0.0 for r in recs))
        self.assertEqual(len(debug), 1, debug)
        self.assertIn("no such device", debug[0])

    def test_loopback_fails_plainly(self):
        """Wine 8 cannot capture loopback: IsAimp stays 0, records of zeros keep coming, one
        debugger line gives the HRESULT, and the bars window says the player is not
        running and ends with exit code 0."""
        recs, aimp, debug, release = records(probe("records", 3.0, capture="loopback"))
        self.assertEqual([a for _, a in aimp], [0])
        self.assertTrue(recs and all(r[2] == 0.0 for r in recs))
        self.assertEqual(len(debug), 1, debug)
        self.assertIn("loopback", debug[0])
        self.assertIn("HRESULT 0x", debug[0])
        lines = probe("bars", 2.5, capture="loopback")
        self.assertIn("S Плеер не запущен", lines)
        self.assertIn("X 0", lines)
        FIGURES.append("loopback under Wine: " + debug[0])


if __name__ == "__main__":
    SERVER.start()
    try:
        result = unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[5:], exit=False).result
    finally:
        SERVER.stop()
        for f in FIGURES:
            print("figure:", f)
    sys.exit(0 if result.wasSuccessful() else 1)
