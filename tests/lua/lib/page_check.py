#!/usr/bin/python3
"""Opens an HTML page in headless Chromium and reports what it rendered.

  page_check.py CHROMIUM PAGE WORKDIR TIMEOUT

Prints one JSON object: the screenshot's size, how many distinct colours it
has and how many pixels have each chart colour; the requests the page itself
made (Chromium's own background requests to its services are told apart by
their missing origin, and every name resolves to nothing, so none leaves the
machine); and the path of the DOM as Chromium built it. Chromium runs in its
own process group, killed when it outlives TIMEOUT seconds.
"""
import json
import os
import signal
import struct
import subprocess
import sys
import zlib

CHART_COLOURS = {"blue": (0x1f, 0x77, 0xb4), "red": (0xd6, 0x27, 0x28), "green": (0x2c, 0xa0, 0x2c)}


def run_chromium(chromium, work, timeout, extra, url, stdout=None):
    command = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
               "--disable-background-networking", "--disable-component-update", "--no-first-run",
               "--disable-sync", "--disable-default-apps", "--host-resolver-rules=MAP * ~NOTFOUND",
               "--user-data-dir=" + os.path.join(work, "profile")] + extra + [url]
    child = subprocess.Popen(command, stdout=stdout or subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             stdin=subprocess.DEVNULL, start_new_session=True)
    try:
        child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        sys.exit("chromium did not finish within %d s" % timeout)
    # Helpers Chromium leaves behind in its group go too.
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def png_pixels(path):
    with open(path, "rb") as png:
        data = png.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        sys.exit("screenshot is not a PNG")
    at, idat, header = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        sys.exit("unexpected PNG format depth %d colour %d interlace %d" % (depth, colour, interlace))
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for x in range(stride):
            left = line[x - channels] if x >= channels else 0
            up = previous[x]
            corner = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + left) & 0xFF
            elif kind == 2:
                line[x] = (line[x] + up) & 0xFF
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 0xFF
            elif kind == 4:
                guess = left + up - corner
                pa, pb, pc = abs(guess - left), abs(guess - up), abs(guess - corner)
                pick = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                line[x] = (line[x] + pick) & 0xFF
        rows.append(line)
        previous = line
    return width, height, channels, rows


def screenshot_facts(path):
    width, height, channels, rows = png_pixels(path)
    colours, counts = set(), {name: 0 for name in CHART_COLOURS}
    non_white = 0
    for line in rows:
        for x in range(0, len(line), channels):
            pixel = tuple(line[x:x + 3])
            colours.add(pixel)
            if pixel != (255, 255, 255):
                non_white += 1
            for name, wanted in CHART_COLOURS.items():
                if all(abs(a - b) <= 8 for a, b in zip(pixel, wanted)):
                    counts[name] += 1
    return {"width": width, "height": height, "colours": len(colours), "non_white": non_white,
            "chart_pixels": counts}


def page_requests(net_log):
    with open(net_log) as log:
        events = json.load(log)
    names = {number: name for name, number in events["constants"]["logEventTypes"].items()}
    urls = []
    for event in events.get("events", []):
        params = event.get("params", {})
        if names.get(event["type"]) != "URL_REQUEST_START_JOB" or "url" not in params:
            continue
        from_page = params.get("initiator") != "not an origin" or "file://" in params.get("network_isolation_key", "")
        if from_page and not params["url"].startswith("file:"):
            urls.append(params["url"])
    return urls


def main():
    chromium, page, work, timeout = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    url = "file://" + page
    png, net_log, dom = (os.path.join(work, name) for name in ("page.png", "net.json", "dom.html"))
    run_chromium(chromium, work, timeout, ["--window-size=1200,2000", "--screenshot=" + png,
                                           "--log-net-log=" + net_log], url)
    with open(dom, "w") as out:
        run_chromium(chromium, work, timeout, ["--dump-dom"], url, stdout=out)
    if not os.path.exists(png):
        sys.exit("chromium wrote no screenshot")
    facts = screenshot_facts(png)
    facts["page_requests"] = page_requests(net_log)
    facts["dom"] = dom
    print(json.dumps(facts))


if __name__ == "__main__":
    main()
