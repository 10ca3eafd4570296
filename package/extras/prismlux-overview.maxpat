{ "patcher": {
  "fileversion": 1,
  "appversion": {"major": 8, "minor": 0, "revision": 0, "architecture": "x64", "modernui": 1},
  "classnamespace": "box",
  "rect": [100.0, 100.0, 640.0, 420.0],
  "boxes": [
    {"box": {"id": "obj-1", "maxclass": "comment", "text": "prismlux", "numinlets": 1, "numoutlets": 0, "patching_rect": [10.0, 10.0, 400.0, 57.0], "fontsize": 48.0, "fontface": 1}},
    {"box": {"id": "obj-2", "maxclass": "comment", "text": "Send and receive DMX512 frames through a USB interface", "numinlets": 1, "numoutlets": 0, "patching_rect": [10.0, 70.0, 620.0, 22.0], "fontsize": 14.0}},
    {"box": {"id": "obj-3", "maxclass": "comment", "text": "prismlux is a Max external for Windows that drives a USB DMX512 interface: every list at its inlet is sent as a DMX frame (element 0 the start code, elements 1-512 the slots) and every frame the interface receives leaves its outlet as a list.", "numinlets": 1, "numoutlets": 0, "patching_rect": [10.0, 100.0, 600.0, 80.0]}},
    {"box": {"id": "obj-4", "maxclass": "comment", "text": "externals/prismlux.mxe64 runs in 64-bit Max (6.1 and later; Max 8 and 9 on Windows are 64-bit only). externals/prismlux.mxe runs in 32-bit Max 6.1 and 7. The interface must be bound to the WinUSB driver.", "numinlets": 1, "numoutlets": 0, "patching_rect": [10.0, 185.0, 600.0, 80.0]}},
    {"box": {"id": "obj-5", "maxclass": "message", "text": "help prismlux", "numinlets": 2, "numoutlets": 1, "outlettype": [""], "patching_rect": [20.0, 275.0, 100.0, 22.0]}},
    {"box": {"id": "obj-6", "maxclass": "newobj", "text": "pcontrol", "numinlets": 1, "numoutlets": 1, "outlettype": [""], "patching_rect": [20.0, 310.0, 60.0, 22.0]}},
    {"box": {"id": "obj-7", "maxclass": "comment", "text": "opens the help file; note that the help creates an object that opens the first free interface", "numinlets": 1, "numoutlets": 0, "patching_rect": [170.0, 275.0, 440.0, 48.0]}}
  ],
  "lines": [
    {"patchline": {"source": ["obj-5", 0], "destination": ["obj-6", 0]}}
  ]
} }
