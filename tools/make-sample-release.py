#!/usr/bin/python3
"""Makes a sample firmware release of The Orvik, or the card of a device
that runs one, for the demo and the end-to-end tests.

    make-sample-release.py release DIR [--bootloader V] [--primary V] [--secondary V]
    make-sample-release.py device DIR [--bootloader V] [--primary V] [--secondary V]
                                      [--serial SN]

"release" writes a release directory as zuv-publish reads it (release.ini,
changelist.txt, Bootloader/, PrimaryFirmware/, SecondaryFirmware/, ANIM/,
IMAGES/, SOUNDS/). "device" writes what a card holds after that release was
installed: the files in the card's layout, FW.ZUV with the serial number
and the versions, and the marker file ZUV.FW.

The output is deterministic: a file's bytes depend only on its name and on
the version of the firmware it belongs to, and some files stay the same
from one version to the next, so an update fetches only part of them.
"""

import argparse
import hashlib
import os
import sys

# (release directory, file path, size in bytes, changes with the version)
FILES = [
    ("Bootloader", "BOOT.BIN", 48 * 1024, True),
    ("Bootloader", "BOOT.SIG", 256, True),
    ("PrimaryFirmware", "PRIMARY.BIN", 512 * 1024, True),
    ("PrimaryFirmware", "PRIMARY.SIG", 256, True),
    ("PrimaryFirmware", "CONFIG/DEFAULTS.CFG", 2 * 1024, False),
    ("PrimaryFirmware", "CONFIG/LIMITS.CFG", 1024, True),
    ("SecondaryFirmware", "SECONDARY.BIN", 384 * 1024, True),
    ("SecondaryFirmware", "SECONDARY.SIG", 256, True),
    ("SecondaryFirmware", "FONTS/SMALL.FNT", 8 * 1024, False),
    ("SecondaryFirmware", "FONTS/LARGE.FNT", 16 * 1024, False),
    ("ANIM", "BOOT.ANM", 60 * 1024, True),
    ("ANIM", "IDLE.ANM", 40 * 1024, False),
    ("ANIM", "CHARGE.ANM", 32 * 1024, True),
    ("ANIM", "LOWBATT.ANM", 20 * 1024, False),
    ("ANIM", "SHUTDOWN.ANM", 24 * 1024, False),
    ("ANIM", "MENU/OPEN.ANM", 12 * 1024, True),
    ("ANIM", "MENU/CLOSE.ANM", 12 * 1024, False),
    ("IMAGES", "SPLASH/LOGO.IMG", 100 * 1024, True),
    ("IMAGES", "ICON_BATT.IMG", 1024, False),
    ("IMAGES", "ICON_BT.IMG", 1024, False),
    ("IMAGES", "ICON_GPS.IMG", 1536, True),
    ("IMAGES", "ICON_LOCK.IMG", 1024, False),
    ("IMAGES", "ICON_MENU.IMG", 2048, False),
    ("IMAGES", "ICON_SD.IMG", 1024, False),
    ("IMAGES", "ICON_WARN.IMG", 3072, True),
    ("IMAGES", "MAP_TILE.IMG", 12 * 1024, False),
    ("IMAGES", "BG_MAIN.IMG", 64 * 1024, True),
    ("SOUNDS", "BEEP.SND", 10 * 1024, False),
    ("SOUNDS", "CLICK.SND", 4 * 1024, False),
    ("SOUNDS", "ALARM.SND", 80 * 1024, True),
    ("SOUNDS", "START.SND", 30 * 1024, True),
    ("SOUNDS", "STOP.SND", 30 * 1024, False),
    ("SOUNDS", "LOWBATT.SND", 16 * 1024, False),
    ("SOUNDS", "CONFIRM.SND", 8 * 1024, True),
    ("SOUNDS", "SILENCE.SND", 0, False),
]

RESOURCES = ("ANIM", "IMAGES", "SOUNDS")
FIRMWARE = ("Bootloader", "PrimaryFirmware", "SecondaryFirmware")


def content(directory, path, size, versioned, versions):
    """The bytes of one file: a stream of MD5 blocks seeded by its name and,
    where it changes between versions, the version of its firmware."""
    owner = "SecondaryFirmware" if directory in RESOURCES else directory
    seed = "%s/%s" % (directory, path)
    if versioned:
        seed += "@" + versions[owner]
    out = bytearray()
    block = hashlib.md5(seed.encode()).digest()
    while len(out) < size:
        out += block
        block = hashlib.md5(block).digest()
    return bytes(out[:size])


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def changelist(versions):
    return ("The Orvik firmware\n"
            "\n"
            "Bootloader %(Bootloader)s\n"
            "Primary firmware %(PrimaryFirmware)s\n"
            "Secondary firmware %(SecondaryFirmware)s\n"
            "\n"
            "- Faster start-up\n"
            "- New alarm sound and battery icon\n"
            "- Fixes for the map view\n" % versions)


def make_release(root, versions):
    write(os.path.join(root, "release.ini"),
          ("[Release]\nModel=TheOrvik\nBootloader=%(Bootloader)s\n"
           "PrimaryFirmware=%(PrimaryFirmware)s\nSecondaryFirmware=%(SecondaryFirmware)s\n"
           % versions).encode())
    write(os.path.join(root, "changelist.txt"), changelist(versions).encode())
    for directory in FIRMWARE + RESOURCES:
        os.makedirs(os.path.join(root, directory), exist_ok=True)
    for directory, path, size, versioned in FILES:
        write(os.path.join(root, directory, path), content(directory, path, size, versioned, versions))


def make_device(root, versions, serial):
    for directory, path, size, versioned in FILES:
        place = os.path.join(directory, path) if directory in RESOURCES else path
        write(os.path.join(root, place), content(directory, path, size, versioned, versions))
    write(os.path.join(root, "FW.ZUV"),
          ("SN_PRI=%s\nVER_BOOT=%s\nVER_PRI=%s\nVER_SEC=%s\n"
           % (serial, versions["Bootloader"], versions["PrimaryFirmware"],
              versions["SecondaryFirmware"])).encode())
    write(os.path.join(root, "ZUV.FW"), b"installed\n")


def main():
    parser = argparse.ArgumentParser(description="Makes a sample release or device card.")
    parser.add_argument("what", choices=("release", "device"))
    parser.add_argument("directory")
    parser.add_argument("--bootloader", default="1.0")
    parser.add_argument("--primary", default="1.0")
    parser.add_argument("--secondary", default="1.0")
    parser.add_argument("--serial", default="ORV-000042")
    args = parser.parse_args()
    versions = {"Bootloader": args.bootloader, "PrimaryFirmware": args.primary,
                "SecondaryFirmware": args.secondary}
    if args.what == "release":
        make_release(args.directory, versions)
    else:
        make_device(args.directory, versions, args.serial)
    return 0


if __name__ == "__main__":
    sys.exit(main())
