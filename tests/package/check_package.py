#!/usr/bin/env python3
"""Checks the Max package folder and the two release zips made from it.

The patchers are read the way Max reads them (JSON): every cord must join two boxes of its
own patcher with an outlet and an inlet that exist, and the examples the help promises must
be wired as it says. The reference page must be well-formed XML, the icon a 500 x 500 PNG.
The zips are made here with the build's own CPack configuration: the package zip must hold
exactly the files of the package folder, byte for byte, the tool zip exactly the tool, its
host DLL, the external and the ReadMe. What they ship is stripped and needs nothing beyond
Windows and the host. The tool zip is left unpacked in --unpack for the tool's own test
(tools.release_zip), which runs the unpacked tool under Wine.
"""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree
import zipfile
import zlib

from pe_file import PeFile

ARGS = None


def read_json(*parts):
    with open(os.path.join(ARGS.package, *parts), encoding="utf-8") as f:
        return json.load(f)


def boxes_of(patcher):
    return {item["box"]["id"]: item["box"] for item in patcher["boxes"]}


def subpatchers(patcher):
    return {box["text"]: box["patcher"] for box in boxes_of(patcher).values() if "patcher" in box}


def all_patchers(patcher, where="top"):
    yield where, patcher
    for name, inner in subpatchers(patcher).items():
        yield from all_patchers(inner, where + "/" + name)


def reachable(patcher, start):
    """Ids of the boxes that messages from `start` reach through cords."""
    seen, todo = set(), [start]
    while todo:
        box = todo.pop()
        for item in patcher["lines"]:
            line = item["patchline"]
            if line["source"][0] == box and line["destination"][0] not in seen:
                seen.add(line["destination"][0])
                todo.append(line["destination"][0])
    return seen


def find(patcher, maxclass, text=None):
    return [box["id"] for box in boxes_of(patcher).values()
            if box["maxclass"] == maxclass and (text is None or box.get("text") == text)]


def comments(patcher):
    return " ".join(box.get("text", "") for box in boxes_of(patcher).values() if box["maxclass"] == "comment")


class PatcherFiles(unittest.TestCase):
    def check_wiring(self, document):
        for where, patcher in all_patchers(document["patcher"]):
            boxes = boxes_of(patcher)
            self.assertEqual(len(boxes), len(patcher["boxes"]), where + ": box ids repeat")
            for box in boxes.values():
                self.assertEqual(len(box.get("outlettype", [])), box["numoutlets"], where + " " + box["id"])
                if box["maxclass"] == "newobj" and box["text"].split()[0] == "prismlux":
                    self.assertEqual((box["numinlets"], box["numoutlets"]), (1, 1), where + " " + box["text"])
            for item in patcher["lines"]:
                line = item["patchline"]
                (source, outlet), (destination, inlet) = line["source"], line["destination"]
                self.assertIn(source, boxes, where + ": cord from a missing box")
                self.assertIn(destination, boxes, where + ": cord to a missing box")
                self.assertLess(outlet, boxes[source]["numoutlets"], where + ": " + str(line))
                self.assertLess(inlet, boxes[destination]["numinlets"], where + ": " + str(line))
                self.assertGreaterEqual(min(outlet, inlet), 0, where + ": " + str(line))

    def test_help_opens_on_tabs_with_title_digest_and_warnings(self):
        help_patcher = read_json("help", "prismlux.maxhelp")
        self.check_wiring(help_patcher)
        top = help_patcher["patcher"]
        tabs = subpatchers(top)
        self.assertEqual(sorted(tabs), ["p basic", "p receive", "p serial"])
        digest = ElementTree.parse(os.path.join(ARGS.package, "docs", "prismlux.maxref.xml")).find("digest").text
        for where, patcher in [("top", top)] + list(tabs.items()):
            if where != "top":
                self.assertEqual(patcher.get("showontab"), 1, where)
            first = sorted(boxes_of(patcher).values(), key=lambda box: box["patching_rect"][1])[:2]
            self.assertEqual([box.get("text") for box in first], ["prismlux", digest], where)
        self.assertIn("first free", comments(top))
        self.assertIn("WinUSB", comments(top))
        self.assertIn("first free", comments(tabs["p basic"]))
        self.assertIn("WinUSB", comments(tabs["p basic"]))

    def test_basic_tab_sends_sliders_blackout_and_full_on(self):
        basic = subpatchers(read_json("help", "prismlux.maxhelp")["patcher"])["p basic"]
        boxes = boxes_of(basic)
        [sliders] = find(basic, "multislider")
        self.assertEqual((boxes[sliders]["size"], boxes[sliders]["setminmax"]), (512, [0.0, 1.0]))
        [prepend] = find(basic, "newobj", "prepend 0")
        [prismlux] = find(basic, "newobj", "prismlux 1")
        self.assertIn(prepend, reachable(basic, sliders))
        self.assertIn(prismlux, reachable(basic, prepend))
        values = sorted(boxes[m]["text"] for m in find(basic, "message"))
        self.assertEqual(values, ["0", "1"])  # blackout and full on, spread over the 512 sliders
        for message in find(basic, "message"):
            self.assertIn(sliders, reachable(basic, message))
        self.assertIn("blackout", comments(basic))
        self.assertIn("full on", comments(basic))

    def test_receive_tab_shows_what_the_basic_object_receives(self):
        tabs = subpatchers(read_json("help", "prismlux.maxhelp")["patcher"])
        basic, receive = tabs["p basic"], tabs["p receive"]
        [prismlux] = find(basic, "newobj", "prismlux 1")
        senders = [boxes_of(basic)[b]["text"].split()[1] for b in reachable(basic, prismlux)
                   if boxes_of(basic)[b]["text"].startswith("s ")]
        self.assertEqual(len(senders), 1)
        [receiver] = find(receive, "newobj", "r " + senders[0])
        shown = reachable(receive, receiver)
        self.assertTrue(set(find(receive, "multislider")) & shown)
        self.assertTrue({b for b in shown if boxes_of(receive)[b].get("text", "").startswith("print")})
        self.assertIn("scale / 255", comments(receive))

    def test_serial_tab_types_the_serial_as_symbol_and_as_number(self):
        serial = subpatchers(read_json("help", "prismlux.maxhelp")["patcher"])["p serial"]
        arguments = [boxes_of(serial)[b]["text"].split()[2:] for b in find(serial, "newobj")
                     if boxes_of(serial)[b]["text"].startswith("prismlux ")]
        self.assertTrue(any(len(a) == 1 and not a[0].isdigit() for a in arguments), arguments)
        self.assertTrue(any(len(a) == 1 and a[0].isdigit() for a in arguments), arguments)
        self.assertIn("prismlux-tool list", comments(serial))
        self.assertIn("prismlux-tool check --serial", comments(serial))

    def test_overview_is_the_home_patcher(self):
        info = read_json("package-info.json")
        overview = read_json("extras", info["homepatcher"])
        self.check_wiring(overview)
        self.assertIn("mxe64", comments(overview["patcher"]))


class PackageFiles(unittest.TestCase):
    def test_package_info_matches_the_build(self):
        info = read_json("package-info.json")
        self.assertEqual(info["name"], os.path.basename(os.path.normpath(ARGS.package)))
        self.assertEqual(info["version"], ARGS.version)
        self.assertEqual(sorted(info["os"]["windows"]["platform"]), ["ia32", "x64"])
        self.assertNotIn("macintosh", info["os"])
        major, minor = (int(part) for part in info["max_version_min"].split("."))
        self.assertGreaterEqual((major, minor), (6, 1))  # the first Max with 64-bit Windows and packages

    def test_layout_holds_every_part_of_a_package(self):
        for parts in (("externals", ARGS.external), ("help", "prismlux.maxhelp"),
                      ("docs", "prismlux.maxref.xml"), ("ReadMe.md",), ("License.md",), ("icon.png",)):
            self.assertTrue(os.path.isfile(os.path.join(ARGS.package, *parts)), os.path.join(*parts))
        with open(os.path.join(ARGS.package, "ReadMe.md"), encoding="utf-8") as f:
            readme = f.read()
        self.assertIn("prismlux.mxe64", readme)
        self.assertIn("prismlux.mxe`", readme)

    def test_reference_page(self):
        root = ElementTree.parse(os.path.join(ARGS.package, "docs", "prismlux.maxref.xml")).getroot()
        self.assertEqual((root.tag, root.get("name"), root.get("module")), ("c74object", "prismlux", "prismlux"))
        authors = [m.text for m in root.iter("metadata") if m.get("name") == "author"]
        self.assertEqual(len(authors), 1)
        self.assertTrue(root.find("seealsolist").findall("seealso"))
        text = ElementTree.tostring(root, encoding="unicode")
        self.assertIn("prismlux.mxe64", text)
        self.assertIn("prismlux.mxe by 32-bit", text)

    def test_icon_is_a_500_by_500_png(self):
        with open(os.path.join(ARGS.package, "icon.png"), "rb") as f:
            data = f.read()
        self.assertEqual(data[:8], b"\x89PNG\r\n\x1a\n")
        chunks, at = {}, 8
        while at < len(data):
            length, kind = struct.unpack(">I4s", data[at:at + 8])
            body = data[at + 4:at + 8 + length]
            (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
            self.assertEqual(zlib.crc32(body) & 0xFFFFFFFF, crc, kind)
            chunks.setdefault(kind, b"")
            chunks[kind] += body[4:]
            at += 12 + length
        width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
        self.assertEqual((width, height, depth, colour), (500, 500, 8, 2))
        self.assertEqual(len(zlib.decompress(chunks[b"IDAT"])), height * (1 + width * 3))


# DLLs that come with Windows itself; what ships may import these and our host's MaxAPI.dll only
# (a compiler runtime DLL such as libstdc++-6.dll would be missing on a show machine).
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll", "setupapi.dll", "winmm.dll",
                "psapi.dll", "ntdll.dll", "gdi32.dll", "ole32.dll", "shell32.dll", "version.dll"}
# SetupAPI functions that add or remove devices: only the simulator, which never ships, has them.
DEVICE_WRITERS = {"SetupDiCreateDeviceInfoW", "SetupDiCreateDeviceInfoA", "SetupDiRegisterDeviceInfo",
                  "SetupDiCreateDeviceInterfaceW", "SetupDiCreateDeviceInterfaceA",
                  "SetupDiCreateDeviceInterfaceRegKeyW", "SetupDiCreateDeviceInterfaceRegKeyA",
                  "SetupDiRemoveDevice", "SetupDiRemoveDeviceInterface", "SetupDiCallClassInstaller"}


class ReleaseZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.makedirs(ARGS.work, exist_ok=True)
        for old in os.listdir(ARGS.work):
            if old.endswith(".zip"):
                os.remove(os.path.join(ARGS.work, old))
        made = subprocess.run([ARGS.cpack, "--config", ARGS.cpack_config, "-B", ARGS.work],
                              capture_output=True, text=True)
        cls.made = made.stdout + made.stderr if made.returncode else None
        cls.package_zip = os.path.join(ARGS.work, "prismlux-%s.zip" % ARGS.version)
        cls.tool_zip = os.path.join(ARGS.work, ARGS.tool_zip)

    def setUp(self):
        self.assertIsNone(self.made, "cpack failed")

    def shipped(self):
        """{name in its zip: bytes} of every program file both zips ship."""
        files = {}
        for path in (self.package_zip, self.tool_zip):
            with zipfile.ZipFile(path) as archive:
                for name in archive.namelist():
                    if name.endswith((".mxe64", ".mxe", ".dll", ".exe")):
                        files[os.path.basename(path) + ":" + name] = archive.read(name)
        return files

    def test_zip_holds_every_file_of_the_package(self):
        expected = {}
        for folder, _, files in os.walk(ARGS.package):
            for name in files:
                full = os.path.join(folder, name)
                expected["prismlux/" + os.path.relpath(full, ARGS.package).replace(os.sep, "/")] = full
        with zipfile.ZipFile(self.package_zip) as archive:
            names = {n for n in archive.namelist() if not n.endswith("/")}
            self.assertEqual(names, set(expected))
            for name, full in expected.items():
                with open(full, "rb") as f:
                    self.assertEqual(archive.read(name), f.read(), name)

    def test_tool_zip_holds_the_tool_its_host_the_external_and_a_readme(self):
        with zipfile.ZipFile(self.tool_zip) as archive:
            names = {n for n in archive.namelist() if not n.endswith("/")}
            self.assertEqual(names, {"prismlux-tool/" + n for n in
                                     ("prismlux-tool.exe", "MaxAPI.dll", ARGS.external, "ReadMe.txt")})
            with zipfile.ZipFile(self.package_zip) as package:
                self.assertEqual(archive.read("prismlux-tool/" + ARGS.external),
                                 package.read("prismlux/externals/" + ARGS.external))
            readme = archive.read("prismlux-tool/ReadMe.txt").decode("utf-8")
            shutil.rmtree(ARGS.unpack, ignore_errors=True)
            archive.extractall(ARGS.unpack)
        for said in ("prismlux-tool list", "prismlux-tool send", "prismlux-tool monitor", "prismlux-tool params",
                     "WinUSB", "not needed inside Max"):
            self.assertIn(said, readme)

    def test_shipped_programs_are_stripped_and_need_only_windows_and_the_host(self):
        shipped = self.shipped()
        self.assertIn("%s:prismlux/externals/%s" % (os.path.basename(self.package_zip), ARGS.external), shipped)
        for name, data in shipped.items():
            image = PeFile(data)
            self.assertEqual(image.symbol_count, 0, name + " has a symbol table")
            sections = [section[0] for section in image.sections]
            self.assertEqual([s for s in sections if s.startswith(".debug")], [], name)
            self.assertIn(".gnu_debuglink", sections, name + " names no debug file")
            imports = image.imports()
            self.assertEqual({dll for dll in imports if dll.lower() not in WINDOWS_DLLS} - {"MaxAPI.dll"}, set(), name)
            self.assertEqual(DEVICE_WRITERS & {f for functions in imports.values() for f in functions}, set(), name)
            if name.endswith((".mxe64", ".mxe")):
                self.assertEqual(image.machine, 0x8664 if name.endswith(".mxe64") else 0x14C, name)
                self.assertIn("main", image.exports(), name)
                self.assertIn("MaxAPI.dll", imports, name)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--package", "--version", "--external", "--cpack", "--cpack-config", "--work", "--tool-zip",
                   "--unpack"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
