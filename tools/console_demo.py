"""The console on the demo stream, to try by hand: the Tessaryn launcher starts the agent, a
rendered scoreboard video is sent over SRT to its receiver again and again, and everything runs
until Ctrl+C.

    python3 tools/console_demo.py --build build [--data build/console-data] [--port 9000]

The data folder (LOCALAPPDATA of the run) is kept between runs, so the zones drawn in the console
are still there next time. The address of the console is printed once the agent serves it.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import scoreboard_video as video  # noqa: E402
from demo_pipeline import end_process, free_udp_port, read_json, wait_for  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build", help="build folder (default: build)")
    parser.add_argument("--data", help="data folder kept between runs (default: BUILD/console-data)")
    parser.add_argument("--port", type=int, help="SRT port of the first run (default: a free one)")
    args = parser.parse_args(argv)
    launcher = os.path.join(args.build, "launcher", "Tessaryn")
    if not os.access(launcher, os.X_OK):
        print(f"{launcher} is not built", file=sys.stderr)
        return 1
    data = os.path.abspath(args.data or os.path.join(args.build, "console-data"))
    tessaryn = os.path.join(data, "Tessaryn")
    os.makedirs(tessaryn, mode=0o700, exist_ok=True)
    settings_path = os.path.join(tessaryn, "agent-settings.json")
    if not os.path.exists(settings_path):
        # The first run starts with no zone: drawing them is what the console is for.
        settings = {"receiver": "srt", "srt": {"port": args.port or free_udp_port(), "latency": 120}, "zones": []}
        with open(settings_path, "w") as stream:
            json.dump(settings, stream, indent=2)
        os.chmod(settings_path, 0o600)

    with tempfile.TemporaryDirectory(prefix="tessaryn-console-") as folder:
        movie = os.path.join(folder, "board.mp4")
        video.write_video(movie, video.timeline(20))
        env = dict(os.environ, LOCALAPPDATA=data)
        session = os.path.join(folder, "session")
        os.makedirs(session, mode=0o700)
        env.setdefault("XDG_RUNTIME_DIR", session)
        url_path = os.path.join(tessaryn, "tessaryn-url")
        tray = subprocess.Popen([launcher], env=env)
        stream = None
        try:
            url = wait_for(lambda: open(url_path).read().strip() if os.path.exists(url_path) else None, 60,
                           "the agent's page")
            print(f"\nThe console: {url}  (also {url.replace('127.0.0.1', 'localhost')})", flush=True)
            print(f"Settings file: {settings_path}", flush=True)
            while True:
                # The port may change in the console; the stream follows the settings in force.
                port = ((read_json(settings_path) or {}).get("srt") or {}).get("port", 9000)
                status = read_json(os.path.join(tessaryn, "runtime", "app", "static", "srt_status.json")) or {}
                if stream is not None and (stream.poll() is not None or stream.port != port):
                    if stream.poll() is None:
                        stream.terminate()
                        stream.wait()
                    stream = None
                if stream is None and status.get("state") == "listening" and status.get("port") == port:
                    stream = subprocess.Popen(
                        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-stream_loop", "-1", "-i", movie,
                         "-c", "copy", "-f", "mpegts", f"srt://127.0.0.1:{port}?mode=caller"],
                        stdin=subprocess.DEVNULL)
                    stream.port = port
                    print(f"streaming the demo board to SRT port {port}; stop with Ctrl+C", flush=True)
                if tray.poll() is not None:
                    print("the launcher ended", flush=True)
                    break
                time.sleep(0.5)
        except KeyboardInterrupt:
            pass
        finally:
            if stream is not None and stream.poll() is None:
                stream.terminate()
                stream.wait()
            if tray.poll() is None:
                end_process(tray)
    return 0


if __name__ == "__main__":
    sys.exit(main())
