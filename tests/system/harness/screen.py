"""Reading what a person sees: text by OCR, icons on a panel's colour."""

import os
import subprocess
import tempfile

from PIL import Image, ImageOps

LIGHT_PANEL = (246, 246, 246)
DARK_PANEL = (24, 24, 24)


def ocr(image, psm=11, whitelist=None, scale=3):
    """The words tesseract reads in a PIL image, as [(text, x, y, width, height)] in the
    image's pixels; scaled up `scale` times first."""
    gray = ImageOps.grayscale(image.convert("RGB")).resize((image.width * scale, image.height * scale))
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "in.png")
        gray.save(path)
        options = ["-c", f"tessedit_char_whitelist={whitelist}"] if whitelist else []
        tsv = subprocess.run(["tesseract", path, "-", "--psm", str(psm), *options, "tsv"],
                             capture_output=True, text=True, timeout=60).stdout
    words = []
    for line in tsv.splitlines()[1:]:
        fields = line.split("\t")
        if len(fields) == 12 and fields[11].strip():
            left, top, width, height = (int(v) // scale for v in fields[6:10])
            words.append((fields[11].strip(), left, top, width, height))
    return words


def text(words):
    return " ".join(word for word, *_ in words)


def on_panel(icon, colour, height=60):
    """The icon over a panel of `colour`, enlarged to `height` pixels as a person
    leaning in would see it, with a border of panel around it."""
    panel = Image.new("RGB", (icon.width * 2, icon.height * 2), colour)
    panel.paste(icon, (icon.width // 2, icon.height // 2), icon)
    factor = 2 * height / panel.height
    return panel.resize((round(panel.width * factor), round(panel.height * factor)), Image.LANCZOS)


def read_title(icon, colour):
    """What OCR reads in an icon shown on a panel of `colour`, light letters and dark
    ones alike: the set of its readings of the picture and of its negative."""
    shown = ImageOps.grayscale(on_panel(icon, colour))
    return {text(ocr(picture, psm=7, whitelist="OLHIl", scale=1)).replace(" ", "")
            for picture in (shown, ImageOps.invert(shown))}


def popups_of(session, pid):
    """Where each popup of process `pid` shows on the session's X display (a menu, say):
    [(x, y, width, height)] of its mapped override-redirect windows."""
    listed = session.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)])
    popups = []
    for window in listed.stdout.decode().split():
        info = session.run(["xwininfo", "-id", window]).stdout.decode()
        fields = dict(line.strip().split(": ", 1) for line in info.splitlines() if ": " in line)
        if fields.get("Override Redirect State") == "yes" and fields.get("Map State") == "IsViewable":
            popups.append(tuple(int(fields[name]) for name in (
                "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height")))
    return popups
