"""Runs the built filter on a grey page and returns the bitmap it printed,
and packs an expected 0/1 page the way a TSPL bitmap carries it, so that the
cross-checks compare whole printed pages."""
import os
import subprocess
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("BUILD", os.path.join(ROOT, "build"))
PPD = os.path.join(ROOT, "tests", "data", "tavel-test.ppd")


def printed_bitmap(pixels, width, height, halftone):
    """The data of the first BITMAP the filter writes for the page."""
    with tempfile.TemporaryDirectory() as folder:
        pgm = os.path.join(folder, "page.pgm")
        ras = os.path.join(folder, "page.ras")
        with open(pgm, "wb") as out:
            out.write(b"P5\n%d %d\n255\n" % (width, height))
            out.write(bytes(pixels))
        subprocess.check_call([os.path.join(BUILD, "tools", "rasterwrite"), "-o", ras, pgm])
        env = dict(os.environ, PPD=PPD)
        run = subprocess.run([os.path.join(BUILD, "filter", "rastertotavel"), "1", "check",
                              "page", "1", "HalftoneType=" + halftone, ras],
                             env=env, capture_output=True, check=True)
    tspl = run.stdout
    head = tspl[tspl.index(b"BITMAP "):].split(b",", 5)
    width_bytes, rows = int(head[2]), int(head[3])
    return head[5][:width_bytes * rows]


def packed(dots, width, height):
    """A page of 0 (blank) and 1 (dot) values as bitmap bytes: a dot is a 0
    bit, blank paper and the fill bits of a row's last byte are 1 bits."""
    data = bytearray()
    for y in range(height):
        acc = 0
        for x in range(width):
            if dots[y * width + x] == 0:
                acc |= 0x80 >> (x % 8)
            if x % 8 == 7:
                data.append(acc)
                acc = 0
        if width % 8:
            data.append(acc | (0xFF >> (width % 8)))
    return bytes(data)


def remove_dumps(before):
    """Deletes the page dumps written since the listing `before`."""
    folder = "/var/spool/cups/tmp"
    if not os.path.isdir(folder):
        return
    for name in set(os.listdir(folder)) - before:
        if name.startswith(("origin_", "dithered_")):
            # Another job's clean-up may have taken it already.
            try:
                os.unlink(os.path.join(folder, name))
            except FileNotFoundError:
                pass


def dump_listing():
    folder = "/var/spool/cups/tmp"
    return set(os.listdir(folder)) if os.path.isdir(folder) else set()
